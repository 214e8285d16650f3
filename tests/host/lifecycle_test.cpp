// SPDX-License-Identifier: MIT
// Finding and loading the plug-in module: a bare name is a file here, never a
// search of the library path; a file that is no plug-in is refused.
#include "lifecycle.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "host_options.h"
#include "platform/sim_bus.h"
#include "zn417_model.h"

namespace {

// A bare name is the file of that name here, never a library found on the
// library path; no name is the module beside the program or the installed
// one; only a real module loads, with both entry points.
TEST(HostPluginPath, ABareNameIsTheFileHereAndOnlyAModuleWithBothEntryPointsLoads) {
    char pattern[] = "/tmp/zn_plugin_path_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(pattern), 0);
    std::ofstream("zn417_button.so") << "not a module";
    std::string path;
    char error[256] = "";
    EXPECT_EQ(ResolvePluginPath("zn417_button.so", &path, error, sizeof error), 0);
    EXPECT_EQ(path, "./zn417_button.so");
    EXPECT_EQ(ResolvePluginPath("libc.so.6", &path, error, sizeof error), -1);
    EXPECT_NE(std::string(error).find("no such file here"), std::string::npos) << error;
    EXPECT_EQ(ResolvePluginPath("/opt/x/zn417_button.so", &path, error, sizeof error), 0);
    EXPECT_EQ(path, "/opt/x/zn417_button.so");
    ASSERT_EQ(ResolvePluginPath("", &path, error, sizeof error), 0) << error;
    EXPECT_NE(path.find("zn417_button.so"), std::string::npos) << path;
    EXPECT_EQ(path[0], '/');

    PluginModule plugin;
    EXPECT_EQ(LoadPlugin("./zn417_button.so", &plugin, error, sizeof error), -1);
    EXPECT_NE(std::string(error).find("cannot load the plug-in"), std::string::npos) << error;
    EXPECT_EQ(plugin.handle, nullptr);
    unlink("zn417_button.so");
    ASSERT_EQ(chdir(previous), 0);
    rmdir(pattern);
    ASSERT_EQ(LoadPlugin(ZN_PLUGIN_MODULE, &plugin, error, sizeof error), 0) << error;
    EXPECT_NE(plugin.start, nullptr);
    EXPECT_NE(plugin.stop, nullptr);
    UnloadPlugin(&plugin);
    EXPECT_EQ(plugin.handle, nullptr);
    UnloadPlugin(&plugin);  // twice: nothing
}

// A plug-in whose Start fails: the host must not take it for watching.

int gStops = 0;
int32_t RefuseStart(int32_t*, void*, void*, HostCallback) {
    return -1;
}
int32_t CountStop() {
    ++gStops;
    return 0;
}

TEST(HostLifecycle, APluginThatRefusesToStartIsReportedAndNeverStopped) {
    ASSERT_EQ(UsbPlatformSelectBackend(UsbBackendSimulated), PlatformOk);
    SimBusReset();
    Zn417Model* scanner = Zn417Attach(0x14100000);
    PluginModule plugin;
    plugin.start = RefuseStart;
    plugin.stop = CountStop;
    DeviceLifecycle lifecycle;
    lifecycle.plugin = &plugin;
    char message[256] = "";
    EXPECT_EQ(LifecycleStart(&lifecycle, message, sizeof message), DeviceOpenFailed);
    EXPECT_NE(std::string(message).find("the plug-in did not start for 20-1"), std::string::npos)
        << message;
    EXPECT_EQ(ExitStatusOf(DeviceOpenFailed), kHostExitFailure);
    EXPECT_FALSE(lifecycle.watching);
    EXPECT_FALSE(LifecycleWatches(&lifecycle, lifecycle.device));
    LifecycleStop(&lifecycle, "test");
    EXPECT_EQ(gStops, 0);
    Zn417Detach(scanner);
    SimBusReset();
}

}  // namespace
