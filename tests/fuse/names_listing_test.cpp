// Names in the drive that Linux cannot show (a hand-edited registry can hold
// them): the listing leaves them out and says so once, everything else in
// the folder is still listed.
#include "mount_fixture.h"

#include <algorithm>

namespace korin::fusetest {
namespace {

class UnshowableNamesTest : public MountTest {
protected:
    void SetUp() override {
        // The machine starts from a registry that already holds the mappings.
        StartMachine({
            {u"", u"before.txt", u"H:\\real.txt"},
            {u"", u"a/b", u"H:\\real.txt"},
            {u"", u"after.txt", u"H:\\real.txt"},
        });
        WriteHostFile("real.txt", "real");
    }
};

TEST_F(UnshowableNamesTest, ListingLeavesThemOutAndKeepsTheRest) {
    EXPECT_EQ(List(MountPath()), (std::vector<std::string>{"after.txt", "before.txt"}));
    EXPECT_EQ(ReadFile(MountPath("after.txt")), "real");
    // Listed twice, explained once.
    EXPECT_EQ(List(MountPath()).size(), 2u);
    auto lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.find("\"a/b\"") != std::string::npos; }),
              1);
}

}  // namespace
}  // namespace korin::fusetest
