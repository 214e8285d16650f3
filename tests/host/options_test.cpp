// SPDX-License-Identifier: MIT
// The host's command line and configuration files: what each accepts, what
// each refuses with which message, which files are read, how the command line
// overrides the user's file and that the system's, and that --help and the
// man page name the same options and exit statuses.
#include <gtest/gtest.h>
#include <ctype.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
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
        std::ofstream(path_, std::ios::binary).write(text.data(), text.size());
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
    EXPECT_EQ(options.flags.plugin, "m.so");
    EXPECT_EQ(options.flags.keepEvents, 1);
    EXPECT_EQ(options.flags.releaseDuringAction, 1);
    EXPECT_EQ(options.flags.actionTimeout, 0);
    EXPECT_EQ(options.verbose, 2);
    ASSERT_EQ(Parse({"--quiet", "--help", "--version"}, &options), 0);
    EXPECT_TRUE(options.quiet && options.help && options.version);
    EXPECT_TRUE(options.configPath.empty());
    ASSERT_EQ(Parse({"--no-config"}, &options), 0);
    EXPECT_TRUE(options.noConfig);
    ASSERT_EQ(Parse({"--exec", "--wait"}, &options), 0);  // a value, not an option
    EXPECT_EQ(options.flags.exec, "--wait");
    EXPECT_FALSE(options.wait);
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
        {{"--config", "a", "--no-config"}, "--config and --no-config exclude each other"},
        {{"-w", "--", "extra"}, "unexpected argument 'extra'"},  // a double dash ends the options
        // The value once, under the option's long name, terminal escapes shown, not sent.
        {{"--location=abc"}, "--location 'abc': not a location ID (decimal or 0x hex, 32 bits)"},
        {{"-d", "\x1b[2J"}, "--device '\\x1B[2J': not a USB device name like 1-4.2"},
        {{"--\x1b]0;x\x07"}, "unknown option '--\\x1B]0;x\\x07' (see --help)"},
    };
    for (const auto& [arguments, expected] : cases) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse(arguments, &options, &error), -1) << arguments[0];
        EXPECT_NE(error.find(expected), std::string::npos) << error;
        EXPECT_EQ(error.find('\x1b'), std::string::npos) << error;
    }
}

// The settings a file gave, as one comparable line.
std::string Describe(const HostSettings& settings) {
    std::ostringstream out;
    out << "device=" << settings.device;
    if (settings.locationSet) {
        out << " location=" << settings.location;
    }
    out << " exec=[" << settings.exec << "]";
    for (const auto& [button, command] : settings.buttons) {
        out << " button." << button << "=[" << command << "]";
    }
    out << " timeout=" << settings.actionTimeout << " release=" << settings.releaseDuringAction
        << " keep=" << settings.keepEvents << " log=" << settings.logLevel
        << " plugin=" << settings.plugin;
    return out.str();
}

const std::string kUnset = " timeout=-1 release=-1 keep=-1 log=-1 plugin=";

TEST_F(ConfigFile, EachTextGivesExactlyTheseSettingsOrThisError) {
    const std::string longCommand = "echo start; " + std::string(10000, 'x') + " # ; end";
    const std::string controlError = ": a control character (\\x";
    const struct {
        std::string text;
        std::string settings;  // Describe()'s line, or empty when an error is expected
        std::string error;     // after "path:"
    } cases[] = {
        {"device = 1-4.2\n[host]\nexec = /usr/local/bin/scan-to-pdf\nbutton.2 = echo two\n"
         "button.255 = echo last\naction_timeout = 30\nrelease_during_action = yes\n"
         "keep_events = off\nlog_level = debug\nplugin = /opt/zn417/zn417_button.so\n",
         "device=1-4.2 exec=[/usr/local/bin/scan-to-pdf] button.2=[echo two] "
         "button.255=[echo last] timeout=30 release=1 keep=0 log=3 "
         "plugin=/opt/zn417/zn417_button.so", ""},
        // Any line length; ';' and '#' inside a value are the value's.
        {"exec = " + longCommand + "\nkeep_events = yes", "device= exec=[" + longCommand + "]" +
         " timeout=-1 release=-1 keep=1 log=-1 plugin=", ""},
        {"exec = echo one ; echo two\n", "device= exec=[echo one ; echo two]" + kUnset, ""},
        // Comment lines, also indented; a section line may carry one.
        {"# a\n ; b\n\t# c\n[host] # d\nexec = x\n", "device= exec=[x]" + kUnset, ""},
        // The quoting rule: one pair around the whole value is removed, no more.
        {"exec = \"echo quoted\"", "device= exec=[echo quoted]" + kUnset, ""},
        {"exec = \"$1\" \"b\"\n", "device= exec=[\"$1\" \"b\"]" + kUnset, ""},
        {"exec = 'single'\nbutton.1 = \"x\n", "device= exec=['single'] button.1=[\"x]" + kUnset,
         ""},
        {"exec = \"\"\n", "", ":1: exec: empty command"},
        // No continuation lines: an indented line stands on its own.
        {"exec = a\n    keep_events = yes\n", "device= exec=[a] timeout=-1 release=-1 keep=1 "
         "log=-1 plugin=", ""},
        {"exec = a\n    and more\n", "", ":2: not a key = value line: and more"},
        // A key once, whichever section gives it.
        {"exec = a\n[host]\nexec = b\n", "", ":3: exec: given again (first on line 1)"},
        // CRLF and a BOM, as Windows editors write; "key: value" as older files may.
        {"\xEF\xBB\xBFlog_level = error\r\nexec: echo a\r\n", "device= exec=[echo a] timeout=-1 "
         "release=-1 keep=-1 log=0 plugin=", ""},
        // Binary bytes and terminal escapes are refused and shown escaped.
        {"exec = a\nexec2 \x1b[31m= b\n", "", ":2" + controlError + "1B) in the line"},
        {std::string("exec = a\0b\n", 11), "", ":1: exec" + controlError + "00) in the line"},
        {"k\xFF" "ey = 1\n", "", ":1: 'k\\xFFey' is not a key (letters, digits, '.', '_', '-')"},
        {"log_level = \xE2\x80\xAE" "debug\n", "",
         ":1: log_level: not one of error, warning, info, debug: '\\xE2\\x80\\xAEdebug'"},
        // An inline comment after a value that is no command is no comment.
        {"keep_events = yes ; keep them\n", "",
         ":1: keep_events: not yes or no: 'yes ; keep them' (a comment stands on a line of its "
         "own)"},
        {"exec = a\n\ncolour = blue\n", "", ":3: colour: unknown key"},
        {"[scanner]\ndevice = 1-4\n", "",
         ":2: device: [scanner] is not a section (keys stand at top level or in [host])"},
        {"[host\n", "", ":1: not a [section] line: [host"},
        {"= x\n", "", ":1: no key before '='"},
        {"action_timeout = 1e9\n", "", ":1: action_timeout: not a number of seconds"},
        {"action_timeout = 604801\n", "", ":1: action_timeout"},
        {"button.0 = x\n", "", ":1: button.0: button codes are 1 to 255"},
        {"button.256 = x\n", "", ":1: button.256"},
        {"location = 0x1g\n", "", ":1: location"},
        {"device = 1-4\nlocation = 7\n", "", ": give device or location, not both"},
    };
    for (const auto& c : cases) {
        HostSettings settings;
        std::string error;
        const int read = Read(c.text, &settings, &error);
        const std::string shown = c.text.substr(0, 60);
        if (c.error.empty()) {
            EXPECT_EQ(read, 0) << shown << " gave: " << error;
            EXPECT_EQ(Describe(settings), c.settings) << shown;
        } else {
            EXPECT_EQ(read, -1) << shown;
            EXPECT_EQ(error.rfind(path_ + c.error, 0), 0u) << shown << " gave: " << error;
            for (char byte : error) {
                EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << shown << " gave: " << error;
            }
        }
    }
}

TEST_F(ConfigFile, AMissingFileIsNotAnErrorButAnUnreadableOneIs) {
    HostSettings settings;
    char error[256] = "";
    EXPECT_EQ(ReadHostConfig((directory_ + "/absent.conf").c_str(), &settings, error,
                             sizeof error),
              1);
    EXPECT_EQ(ReadHostConfig(directory_.c_str(), &settings, error, sizeof error), -1);
    EXPECT_EQ(ReadHostConfig("/dev/null", &settings, error, sizeof error), 0);
}

TEST(HostConfigFiles, TheSystemFileThenTheUsersUnlessTheCommandLineNamesOneOrNone) {
    HostOptions options;
    const std::string user = "/zn417/zn417-host.conf";
    const struct {
        std::vector<std::string> arguments;
        const char* xdgConfigHome;
        const char* home;
        std::string files;
    } cases[] = {
        {{}, "/x", "/h", "/etc/zn417/zn417-host.conf /x" + user},
        {{}, "relative", "/h", "/etc/zn417/zn417-host.conf /h/.config" + user},
        {{}, nullptr, nullptr, "/etc/zn417/zn417-host.conf"},
        {{"--config", "/dev/null"}, "/x", "/h", "/dev/null(required)"},
        {{"--no-config"}, "/x", "/h", ""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Parse(c.arguments, &options), 0);
        std::string files;
        for (const HostConfigFile& file : HostConfigFiles(options, c.xdgConfigHome, c.home)) {
            files += (files.empty() ? "" : " ") + file.path + (file.required ? "(required)" : "");
        }
        EXPECT_EQ(files, c.files);
    }
}

// The one precedence rule: the command line over the user's file over the
// system file; the action (exec with the button.N commands) goes whole.
TEST_F(ConfigFile, TheCommandLineOverridesTheUsersFileWhichOverridesTheSystems) {
    const std::string system = directory_ + "/system.conf";
    std::ofstream(system) << "exec = sys-exec\nbutton.1 = sys-one\naction_timeout = 30\n"
                             "keep_events = yes\nlog_level = debug\nlocation = 5\n";
    const struct {
        std::string user;  // the user's file, absent when empty
        std::vector<std::string> arguments;
        std::string settings;
    } cases[] = {
        {"", {}, "device= location=5 exec=[sys-exec] button.1=[sys-one] timeout=30 release=-1 "
                 "keep=1 log=3 plugin="},
        {"button.2 = user-two\naction_timeout = 0\ndevice = 1-2\n", {},
         "device=1-2 exec=[] button.2=[user-two] timeout=0 release=-1 keep=1 log=3 plugin="},
        {"exec = user-exec\nkeep_events = no\n", {"--action-timeout", "0", "--exec", "flag"},
         "device= location=5 exec=[flag] timeout=0 release=-1 keep=0 log=3 plugin="},
        {"", {"--exec", "flag", "--keep-events", "-l", "7"},
         "device= location=7 exec=[flag] timeout=30 release=-1 keep=1 log=3 plugin="},
    };
    for (const auto& c : cases) {
        unlink(path_.c_str());
        if (!c.user.empty()) {
            std::ofstream(path_) << c.user;
        }
        HostOptions options;
        ASSERT_EQ(Parse(c.arguments, &options), 0);
        HostSettings files;
        std::string readFrom;
        char error[256] = "";
        ASSERT_EQ(ReadHostConfigFiles({{system, false}, {path_, false}}, &files, &readFrom, error,
                                      sizeof error),
                  0)
            << error;
        EXPECT_EQ(Describe(MergeHostSettings(files, options.flags)), c.settings) << c.user;
        EXPECT_EQ(readFrom, c.user.empty() ? system : system + ", then " + path_);
    }
    unlink(system.c_str());
    char error[256] = "";
    HostSettings files;
    std::string readFrom;
    EXPECT_EQ(ReadHostConfigFiles({{system, true}}, &files, &readFrom, error, sizeof error), -1);
    EXPECT_EQ(std::string(error), system + ": no such file");
}

// The long options that lines of `text` define: "  -x, --name ..." or
// "      --name" in --help; "*-x*, *--name*" or "*--name*" in the man page.
std::set<std::string> DefinedOptions(const std::string& text, bool manPage) {
    std::set<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t at = manPage ? (line.rfind("*-", 0) == 0 ? 1 : line.size())
                            : line.find_first_not_of(' ');
        if (at < line.size() && line.compare(at, 2, "--") != 0 && line.size() > at + 4) {
            at += manPage ? 6 : 4;  // past "-x*, *" or "-x, "
        }
        if (at < line.size() && line.compare(at, 2, "--") == 0) {
            const size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
            // A man page definition ends its name with "*", then the line or a space.
            const bool definition = !manPage || (end < line.size() && line[end] == '*' &&
                                                 (end + 1 == line.size() || line[end + 1] == ' '));
            if (definition) {
                found.insert(line.substr(at, end - at));
            }
        }
    }
    return found;
}

// The exit statuses that lines of `text` list: "  N  ..." in --help, "*N*" in
// the man page.
std::set<std::string> ListedStatuses(const std::string& text, bool manPage) {
    std::set<std::string> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (manPage && line.size() == 3 && line[0] == '*' && isdigit(line[1]) && line[2] == '*') {
            found.insert(line.substr(1, 1));
        } else if (!manPage && line.size() > 5 && line.compare(0, 2, "  ") == 0 &&
                   isdigit(line[2]) && line.compare(3, 2, "  ") == 0) {
            found.insert(line.substr(2, 1));
        }
    }
    return found;
}

TEST(HostDocumentation, HelpAndTheManPageDefineTheSameOptionsAndExitStatuses) {
    std::ifstream source(ZN_MAN_PAGE_SOURCE);
    std::stringstream read;
    read << source.rdbuf();
    const std::string man = read.str();
    ASSERT_FALSE(man.empty()) << ZN_MAN_PAGE_SOURCE;
    const std::string help = HostUsage();
    const std::set<std::string> helpOptions = DefinedOptions(help, false);
    EXPECT_EQ(helpOptions, DefinedOptions(man, true));
    EXPECT_GE(helpOptions.size(), 17u);
    for (const std::string& option : helpOptions) {  // and the program takes each
        HostOptions options;
        std::string error;
        Parse({option, "1-4"}, &options, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << error;
    }
    const std::set<std::string> statuses = ListedStatuses(help, false);
    EXPECT_EQ(statuses, ListedStatuses(man.substr(man.find("# EXIT STATUS")), true));
    EXPECT_GE(statuses.size(), 8u);
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
