// The host's command line and configuration file: what each accepts, what
// each refuses with which message, and how flags override the file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "actions.h"
#include "host_options.h"

namespace {

// Parses `arguments` (after the program name); the error text goes to *error.
int Parse(std::vector<std::string> arguments, HostOptions* options, std::string* error = nullptr) {
    arguments.insert(arguments.begin(), "zn417-host");
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    char text[512] = "";
    const int result = ParseHostOptions(static_cast<int>(arguments.size()), argv.data(), options,
                                        text, sizeof text);
    if (error != nullptr) {
        *error = text;
    }
    return result;
}

// A configuration file in a private directory, removed with the fixture.
class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zn_host_config_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        path_ = directory_ + "/zn417-host.conf";
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    int Read(const std::string& text, HostSettings* settings, std::string* error) {
        std::ofstream(path_) << text;
        char message[512] = "";
        const int result = ReadHostConfig(path_.c_str(), settings, message, sizeof message);
        *error = message;
        return result;
    }
    std::string directory_;
    std::string path_;
};

TEST(HostCommandLine, LocationIsDecimalOrHexAndNothingElse) {
    HostOptions options;
    ASSERT_EQ(Parse({"--location", "010"}, &options), 0);
    EXPECT_EQ(options.flags.location, 10);  // never octal
    ASSERT_EQ(Parse({"--location=0x14100000"}, &options), 0);
    EXPECT_EQ(options.flags.location, 0x14100000);
    ASSERT_EQ(Parse({"-l", "0xFFFFFFFF"}, &options), 0);
    EXPECT_EQ(options.flags.location, -1);
    ASSERT_EQ(Parse({"-l", "4294967295"}, &options), 0);
    EXPECT_EQ(options.flags.location, -1);
    for (const char* bad : {"-5", "+5", "0x", "0x123456789", "4294967296", "12a", "0o7", " 1",
                            "", "1e3"}) {
        std::string error;
        EXPECT_EQ(Parse({"--location", bad}, &options, &error), -1) << bad;
        EXPECT_NE(error.find("location"), std::string::npos) << error;
    }
}

TEST(HostCommandLine, EveryOptionHasItsLongAndShortForm) {
    HostOptions options;
    ASSERT_EQ(Parse({"-d", "1-4.2", "-L", "-w", "-e", "echo", "-c", "/x.conf", "-p", "m.so", "-k",
                     "--release-during-action", "--action-timeout=0", "-s", "-t", "-vv"},
                    &options),
              0);
    EXPECT_EQ(options.flags.device, "1-4.2");
    EXPECT_TRUE(options.list && options.wait && options.simulate && options.trace);
    EXPECT_EQ(options.flags.exec, "echo");
    EXPECT_EQ(options.configPath, "/x.conf");
    EXPECT_TRUE(options.configGiven);
    EXPECT_EQ(options.flags.plugin, "m.so");
    EXPECT_EQ(options.flags.keepEvents, 1);
    EXPECT_EQ(options.flags.releaseDuringAction, 1);
    EXPECT_EQ(options.flags.actionTimeout, 0);
    EXPECT_EQ(options.verbose, 2);
    ASSERT_EQ(Parse({"--quiet", "--help", "--version"}, &options), 0);
    EXPECT_TRUE(options.quiet && options.help && options.version);
    EXPECT_EQ(options.configPath, kDefaultConfigPath);
    EXPECT_FALSE(options.configGiven);
}

TEST(HostCommandLine, ADoubleDashEndsTheOptionsAndLeftoversAreRefused) {
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse({"--exec", "--wait"}, &options), 0);  // a value, not an option
    EXPECT_EQ(options.flags.exec, "--wait");
    EXPECT_FALSE(options.wait);
    EXPECT_EQ(Parse({"-w", "--", "extra"}, &options, &error), -1);
    EXPECT_NE(error.find("extra"), std::string::npos);
}

TEST(HostCommandLine, BadArgumentsAreRefusedWithWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--no-such-option"}, "unknown option '--no-such-option'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--location"}, "--location needs a value"},
        {{"--device", "usb1"}, "1-4.2"},
        {{"--device", "1-"}, "1-4.2"},
        {{"--device", "1-4.2", "--location", "5"}, "not both"},
        {{"--action-timeout", "-1"}, "seconds"},
        {{"--action-timeout", "99999999999999999999"}, "seconds"},
        {{"--exec", ""}, "empty command"},
        {{"-q", "-v"}, "exclude"},
    };
    for (const auto& [arguments, expected] : cases) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse(arguments, &options, &error), -1) << arguments[0];
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
}

TEST_F(ConfigFile, EveryKeyIsReadWithOrWithoutTheHostSection) {
    HostSettings settings;
    std::string error;
    ASSERT_EQ(Read("device = 1-4.2\n"
                   "[host]\n"
                   "exec = /usr/local/bin/scan-to-pdf\n"
                   "button.2 = echo two\n"
                   "button.255 = echo last\n"
                   "action_timeout = 30\n"
                   "release_during_action = yes\n"
                   "keep_events = off\n"
                   "log_level = debug\n"
                   "plugin = /opt/zn417/zn417_button.so\n",
                   &settings, &error),
              0)
        << error;
    EXPECT_EQ(settings.device, "1-4.2");
    EXPECT_EQ(settings.exec, "/usr/local/bin/scan-to-pdf");
    EXPECT_EQ(settings.buttons.at(2), "echo two");
    EXPECT_EQ(settings.buttons.at(255), "echo last");
    EXPECT_EQ(settings.actionTimeout, 30);
    EXPECT_EQ(settings.releaseDuringAction, 1);
    EXPECT_EQ(settings.keepEvents, 0);
    EXPECT_EQ(settings.logLevel, HostLogDebug);
    EXPECT_EQ(settings.plugin, "/opt/zn417/zn417_button.so");
}

TEST_F(ConfigFile, ABadFileNamesItsLineAndWhatIsWrong) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"exec = a\n\ncolour = blue\n", ":3: colour: unknown key"},
        {"[scanner]\ndevice = 1-4\n", ":2: unknown section [scanner]"},
        {"action_timeout = 1e9\n", ":1: action_timeout: not a number"},
        {"action_timeout = 604801\n", ":1: action_timeout"},
        {"button.0 = x\n", ":1: button.0: button codes are 1 to 255"},
        {"button.256 = x\n", ":1: button.256"},
        {"button.x = x\n", ":1: button.x"},
        {"keep_events = maybe\n", ":1: keep_events: not yes or no"},
        {"log_level = loud\n", ":1: log_level"},
        {"location = 0x1g\n", ":1: location"},
        {"# comment\nthis line has no equals sign\n", ":2:"},
        {"device = 1-4\nlocation = 7\n", "not both"},
    };
    for (const auto& [text, expected] : cases) {
        HostSettings settings;
        std::string error;
        EXPECT_EQ(Read(text, &settings, &error), -1) << text;
        EXPECT_NE(error.find(path_), std::string::npos) << error;
        EXPECT_NE(error.find(expected), std::string::npos) << text << " gave: " << error;
    }
}

TEST_F(ConfigFile, AMissingFileIsNotAnErrorButAnUnreadableOneIs) {
    HostSettings settings;
    char error[256] = "";
    EXPECT_EQ(ReadHostConfig((directory_ + "/absent.conf").c_str(), &settings, error,
                             sizeof error),
              1);
    EXPECT_EQ(ReadHostConfig(directory_.c_str(), &settings, error, sizeof error), -1);
}

TEST(HostSettingsMerge, FlagsOverrideTheFileAndNamingTheDeviceReplacesBothNames) {
    HostSettings file;
    file.location = 5;
    file.locationSet = true;
    file.exec = "file-exec";
    file.buttons[1] = "file-one";
    file.buttons[2] = "file-two";
    file.actionTimeout = 10;
    file.keepEvents = 1;
    HostSettings flags;
    flags.device = "1-4";
    flags.buttons[2] = "flag-two";
    flags.keepEvents = 0;
    const HostSettings merged = MergeHostSettings(file, flags);
    EXPECT_EQ(merged.device, "1-4");
    EXPECT_FALSE(merged.locationSet);
    EXPECT_EQ(merged.exec, "file-exec");
    EXPECT_EQ(merged.buttons.at(1), "file-one");
    EXPECT_EQ(merged.buttons.at(2), "flag-two");
    EXPECT_EQ(merged.actionTimeout, 10);
    EXPECT_EQ(merged.keepEvents, 0);
}

TEST(ActionCommand, ThePressesButtonCommandWinsOverTheGeneralOne) {
    HostSettings settings;
    settings.exec = "general";
    settings.buttons[2] = "two";
    HostEvent event;
    event.button = 2;
    EXPECT_EQ(CommandForEvent(settings, event), "two");
    event.button = 1;
    EXPECT_EQ(CommandForEvent(settings, event), "general");
    settings.exec.clear();
    EXPECT_EQ(CommandForEvent(settings, event), "");
}

TEST(ActionCommand, OnlyAPlainCommandGetsTheEventFileAppendedAsItsArgument) {
    EXPECT_EQ(ShellScriptFor("/usr/bin/script"), "/usr/bin/script \"$1\"");
    EXPECT_EQ(ShellScriptFor("scan-to-pdf"), "scan-to-pdf \"$1\"");
    EXPECT_EQ(ShellScriptFor("cp \"$1\" ~/scans"), "cp \"$1\" ~/scans");
    EXPECT_EQ(ShellScriptFor("notify-send Scanned"), "notify-send Scanned");
    EXPECT_EQ(ShellScriptFor("a;b"), "a;b");
}

}  // namespace
