// korin-host's command line.
#include "host/options.h"

#include <gtest/gtest.h>

namespace korin::host {
namespace {

TEST(HostOptions, ParsesWhatTheUserGives) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions({"--home", "/h", "--drive", "d=/srv", "--drive=E=/tmp", "--unc-root=/net",
                              "--mount-root", "/m", "-f", "--log", "/l"},
                             &o, &error))
        << error;
    EXPECT_EQ(o.home, "/h");
    EXPECT_EQ(o.drives, (std::map<char16_t, std::string>{{u'C', "/"}, {u'D', "/srv"}, {u'E', "/tmp"}}));
    EXPECT_EQ(o.uncRoot, "/net");
    EXPECT_EQ(o.mountRoot, "/m");
    EXPECT_TRUE(o.foreground);
    EXPECT_EQ(o.logPath, "/l");

    Options defaults;
    ASSERT_TRUE(ParseOptions({}, &defaults, &error));
    EXPECT_EQ(defaults.drives, (std::map<char16_t, std::string>{{u'C', "/"}}));
    EXPECT_FALSE(defaults.foreground);
    EXPECT_FALSE(defaults.uncRoot);

    Options noC;
    ASSERT_TRUE(ParseOptions({"--drive", "C="}, &noC, &error));
    EXPECT_TRUE(noC.drives.empty());
}

TEST(HostOptions, RefusesBadInputWithAClearMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--drive", "CD=/x"}, "--drive wants LETTER=DIRECTORY, not \"CD=/x\""},
        {{"--drive", "1=/x"}, "--drive wants LETTER=DIRECTORY, not \"1=/x\""},
        {{"--drive", "/x"}, "--drive wants LETTER=DIRECTORY, not \"/x\""},
        {{"--drive", "d=/a", "--drive", "D=/b"}, "drive letter D: given twice"},
        {{"--home"}, "--home needs a value"},
        {{"--home="}, "--home needs a value"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(c.args, &o, &error)) << c.message;
        EXPECT_EQ(error, c.message);
    }
}

TEST(HostOptions, ResolvingChecksTheDirectories) {
    Options o;
    std::string error;
    o.home = "/tmp/korin-options-home";
    o.drives = {{u'T', "/tmp/../tmp"}};
    ASSERT_TRUE(ResolveOptions(&o, &error)) << error;
    EXPECT_EQ(o.drives.at(u'T'), "/tmp");
    EXPECT_EQ(o.mountRoot, "/tmp/korin-options-home/mnt");

    Options missing;
    missing.drives = {{u'M', "/no/such/directory"}};
    EXPECT_FALSE(ResolveOptions(&missing, &error));
    EXPECT_EQ(error, "drive M: /no/such/directory is not an existing directory");

    Options unc;
    unc.uncRoot = "/no/unc";
    EXPECT_FALSE(ResolveOptions(&unc, &error));
    EXPECT_EQ(error, "UNC root /no/unc is not an existing directory");
}

}  // namespace
}  // namespace korin::host
