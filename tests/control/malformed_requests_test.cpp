// Malformed and impossible control requests: each is refused with its own
// status, through the request's own result group, and changes nothing in
// memory, in the store or among the links.

#include "control_fixture.h"

#include <optional>

namespace korin::control_test {
namespace {

struct MalformedCase {
    const char* what;
    ULONG code;
    Bytes input;
    ULONG outputLength;
    NTSTATUS completion;             // what NtDeviceIoControlFile returns
    std::optional<NTSTATUS> verdict;  // the status word, for requests completed with success
};

Bytes Cut(Bytes bytes, size_t drop) {
    bytes.resize(bytes.size() - drop);
    return bytes;
}

Bytes Plus(Bytes bytes, std::initializer_list<UCHAR> more) {
    bytes.insert(bytes.end(), more);
    return bytes;
}

// Word-verdict requests (create folder or mapping, renames): completed with
// success, the refusal in the status word.
MalformedCase InWord(const char* what, ULONG code, Bytes input, NTSTATUS verdict) {
    return {what, code, std::move(input), 4, STATUS_SUCCESS, verdict};
}
// Every other refusal fails the request itself and leaves the output alone.
MalformedCase Failing(const char* what, ULONG code, Bytes input, NTSTATUS status, ULONG outputLength = 4) {
    return {what, code, std::move(input), outputLength, status, std::nullopt};
}

std::vector<MalformedCase> Cases() {
    const std::u16string longName(256, u'n');
    const std::u16string longTarget = u"C:\\" + std::u16string(32759, u't');
    const std::u16string loneSurrogate(1, static_cast<char16_t>(0xD800));
    return {
        // Create folder.
        InWord("create folder: empty path", IOCTL_CREATE_FOLDER, {}, STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: odd length", IOCTL_CREATE_FOLDER, Plus(PathBytes(u"K:\\New"), {'x'}),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: letter alone", IOCTL_CREATE_FOLDER, PathBytes(u"K"), STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: no backslash after the colon", IOCTL_CREATE_FOLDER, PathBytes(u"K:New"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: no colon", IOCTL_CREATE_FOLDER, PathBytes(u"K\\New"), STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: empty component", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs\\\\New"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: letter outside A-Z", IOCTL_CREATE_FOLDER, PathBytes(u"1:\\New"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: UNC path", IOCTL_CREATE_FOLDER, PathBytes(u"\\\\srv\\share\\New"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create folder: letter without drive", IOCTL_CREATE_FOLDER, PathBytes(u"Q:\\New"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create folder: missing parent", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Missing\\New"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create folder: below a mapping", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs\\a.txt\\New"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create folder: trailing backslash", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\New\\"),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: wildcard", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\Docs\\a*b"),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: dot dot", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\.."), STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: control character", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\a\x01"),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: NUL inside", IOCTL_CREATE_FOLDER, PathBytes(std::u16string(u"K:\\a\0b", 6)),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: lone surrogate", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\a" + loneSurrogate),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create folder: name of 256 characters", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\" + longName),
               STATUS_NAME_TOO_LONG),
        InWord("create folder: the root", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\"), STATUS_OBJECT_NAME_COLLISION),
        InWord("create folder: the root without backslash", IOCTL_CREATE_FOLDER, PathBytes(u"K:"),
               STATUS_OBJECT_NAME_COLLISION),
        Failing("create folder: no room for the status word", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\New"),
                STATUS_BUFFER_TOO_SMALL, 3),
        Failing("create folder: no output", IOCTL_CREATE_FOLDER, PathBytes(u"K:\\New"), STATUS_BUFFER_TOO_SMALL, 0),

        // Create mapping.
        InWord("create mapping: second NUL missing", IOCTL_CREATE_MAPPING,
               Cut(PairBytes(u"K:\\x", u"C:\\x"), 2), STATUS_INVALID_PARAMETER),
        InWord("create mapping: no NUL", IOCTL_CREATE_MAPPING, PathBytes(u"K:\\x"), STATUS_INVALID_PARAMETER),
        InWord("create mapping: second NUL cut in half", IOCTL_CREATE_MAPPING,
               Cut(PairBytes(u"K:\\x", u"C:\\x"), 1), STATUS_INVALID_PARAMETER),
        InWord("create mapping: empty target", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\x", u""),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create mapping: relative target", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\x", u"a.txt"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create mapping: drive-relative target", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\x", u"C:a.txt"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create mapping: three backslashes", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\x", u"\\\\\\x"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create mapping: target too long", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\x", longTarget),
               STATUS_NAME_TOO_LONG),
        InWord("create mapping: bad path", IOCTL_CREATE_MAPPING, PairBytes(u"K:x", u"C:\\x"),
               STATUS_OBJECT_PATH_SYNTAX_BAD),
        InWord("create mapping: letter without drive", IOCTL_CREATE_MAPPING, PairBytes(u"Q:\\x", u"C:\\x"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create mapping: missing parent", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\No\\x", u"C:\\x"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create mapping: below a mapping", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\Docs\\a.txt\\x", u"C:\\x"),
               STATUS_OBJECT_PATH_NOT_FOUND),
        InWord("create mapping: forbidden name", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\a|b", u"C:\\x"),
               STATUS_OBJECT_NAME_INVALID),
        InWord("create mapping: the root", IOCTL_CREATE_MAPPING, PairBytes(u"K:\\", u"C:\\x"),
               STATUS_OBJECT_NAME_COLLISION),

        // Delete folder and mapping.
        Failing("delete folder: the root", IOCTL_DELETE_FOLDER, PathBytes(u"K:\\"), STATUS_CANNOT_DELETE),
        Failing("delete folder: the root without backslash", IOCTL_DELETE_FOLDER, PathBytes(u"k:"),
                STATUS_CANNOT_DELETE),
        Failing("delete folder: missing", IOCTL_DELETE_FOLDER, PathBytes(u"K:\\Missing"),
                STATUS_OBJECT_NAME_NOT_FOUND),
        Failing("delete folder: letter without drive", IOCTL_DELETE_FOLDER, PathBytes(u"Q:\\Docs"),
                STATUS_OBJECT_NAME_NOT_FOUND),
        Failing("delete folder: a mapping", IOCTL_DELETE_FOLDER, PathBytes(u"K:\\Docs\\a.txt"),
                STATUS_NOT_A_DIRECTORY),
        Failing("delete folder: empty path", IOCTL_DELETE_FOLDER, {}, STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("delete folder: empty component", IOCTL_DELETE_FOLDER, PathBytes(u"K:\\\\Docs"),
                STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("delete folder: no room for the status word", IOCTL_DELETE_FOLDER, PathBytes(u"K:\\Docs"),
                STATUS_BUFFER_TOO_SMALL, 2),
        Failing("delete mapping: a folder", IOCTL_DELETE_MAPPING, PathBytes(u"K:\\Docs"),
                STATUS_FILE_IS_A_DIRECTORY),
        Failing("delete mapping: the root", IOCTL_DELETE_MAPPING, PathBytes(u"K:\\"), STATUS_CANNOT_DELETE),
        Failing("delete mapping: letter outside A-Z", IOCTL_DELETE_MAPPING, PathBytes(u"[:\\x"),
                STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("delete mapping: below a mapping", IOCTL_DELETE_MAPPING, PathBytes(u"K:\\Docs\\a.txt\\b"),
                STATUS_OBJECT_NAME_NOT_FOUND),

        // Renames.
        InWord("rename mapping: the root", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\", u"x"), STATUS_ACCESS_DENIED),
        InWord("rename mapping: letter without drive", IOCTL_RENAME_MAPPING, PairBytes(u"Q:\\a.txt", u"b"),
               STATUS_UNSUCCESSFUL),
        InWord("rename mapping: a folder", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs", u"x"),
               STATUS_FILE_IS_A_DIRECTORY),
        InWord("rename mapping: name with backslash", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u"b\\c"),
               STATUS_OBJECT_NAME_INVALID),
        InWord("rename mapping: empty name", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u""),
               STATUS_OBJECT_NAME_INVALID),
        InWord("rename mapping: name too long", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\a.txt", longName),
               STATUS_NAME_TOO_LONG),
        InWord("rename mapping: second NUL missing", IOCTL_RENAME_MAPPING,
               Cut(PairBytes(u"K:\\Docs\\a.txt", u"b"), 2), STATUS_INVALID_PARAMETER),
        InWord("rename mapping: a sibling folder's name", IOCTL_RENAME_MAPPING, PairBytes(u"K:\\Docs\\a.txt", u"SUB"),
               STATUS_OBJECT_NAME_COLLISION),
        InWord("rename folder: the root", IOCTL_RENAME_FOLDER, PairBytes(u"K:", u"x"), STATUS_ACCESS_DENIED),
        InWord("rename folder: letter without drive", IOCTL_RENAME_FOLDER, PairBytes(u"Q:\\Docs", u"x"),
               STATUS_INVALID_PARAMETER),
        InWord("rename folder: a mapping", IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs\\a.txt", u"x"),
               STATUS_NOT_A_DIRECTORY),
        InWord("rename folder: dot", IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"."), STATUS_OBJECT_NAME_INVALID),
        InWord("rename folder: bad path", IOCTL_RENAME_FOLDER, PairBytes(u"K", u"x"), STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("rename folder: no room for the status word", IOCTL_RENAME_FOLDER, PairBytes(u"K:\\Docs", u"x"),
                STATUS_BUFFER_TOO_SMALL, 0),

        // Query item type.
        Failing("query item type: empty path", IOCTL_QUERY_ITEM_TYPE, {}, STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("query item type: odd length", IOCTL_QUERY_ITEM_TYPE, Plus(PathBytes(u"K:\\"), {0}),
                STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("query item type: letter alone", IOCTL_QUERY_ITEM_TYPE, PathBytes(u"K"),
                STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("query item type: drive-relative", IOCTL_QUERY_ITEM_TYPE, PathBytes(u"K:Docs"),
                STATUS_OBJECT_PATH_SYNTAX_BAD),
        Failing("query item type: no room for the word", IOCTL_QUERY_ITEM_TYPE, PathBytes(u"K:\\Docs"),
                STATUS_BUFFER_TOO_SMALL, 3),

        // Device name.
        Failing("device name: no letter", IOCTL_GET_DEVICE_NAME, {}, STATUS_INFO_LENGTH_MISMATCH, 260),
        Failing("device name: half a letter", IOCTL_GET_DEVICE_NAME, {'K'}, STATUS_INFO_LENGTH_MISMATCH, 260),
        Failing("device name: two letters", IOCTL_GET_DEVICE_NAME, LetterPairBytes(u'K', u'K'),
                STATUS_INFO_LENGTH_MISMATCH, 260),
        Failing("device name: letter outside A-Z", IOCTL_GET_DEVICE_NAME, LetterBytes(u'1'), STATUS_INVALID_PARAMETER,
                260),
        Failing("device name: letter without drive", IOCTL_GET_DEVICE_NAME, LetterBytes(u'Q'), STATUS_NO_SUCH_DEVICE,
                260),
        Failing("device name: output one byte short", IOCTL_GET_DEVICE_NAME, LetterBytes(u'K'),
                STATUS_BUFFER_TOO_SMALL, 31),
        Failing("device name: no output", IOCTL_GET_DEVICE_NAME, LetterBytes(u'K'), STATUS_BUFFER_TOO_SMALL, 0),

        // Create drive.
        Failing("create drive: three bytes", IOCTL_CREATE_DRIVE, {'M', 0, 0}, STATUS_INFO_LENGTH_MISMATCH),
        Failing("create drive: name longer than the input", IOCTL_CREATE_DRIVE, Cut(RecordBytes(u'M', u"Work"), 2),
                STATUS_INFO_LENGTH_MISMATCH),
        Failing("create drive: bytes after the name", IOCTL_CREATE_DRIVE, Plus(RecordBytes(u'M', u"Work"), {0, 0}),
                STATUS_INFO_LENGTH_MISMATCH),
        Failing("create drive: odd name length", IOCTL_CREATE_DRIVE, {'M', 0, 3, 0, 'a', 0, 'b'},
                STATUS_INFO_LENGTH_MISMATCH),
        Failing("create drive: letter outside A-Z", IOCTL_CREATE_DRIVE, RecordBytes(u'1', u"Work"),
                STATUS_INVALID_PARAMETER),
        Failing("create drive: NUL inside the name", IOCTL_CREATE_DRIVE,
                RecordBytes(u'M', std::u16string(u"a\0b", 3)), STATUS_INVALID_PARAMETER),
        Failing("create drive: letter of another drive", IOCTL_CREATE_DRIVE, RecordBytes(u'K', u"Again"),
                STATUS_OBJECT_NAME_COLLISION),
        Failing("create drive: same letter in lower case", IOCTL_CREATE_DRIVE, RecordBytes(u'k', u"Again"),
                STATUS_OBJECT_NAME_COLLISION),
        Failing("create drive: no room for the status word", IOCTL_CREATE_DRIVE, RecordBytes(u'M', u"Work"),
                STATUS_BUFFER_TOO_SMALL, 2),

        // Delete drive.
        Failing("delete drive: no letter", IOCTL_DELETE_DRIVE, {}, STATUS_INFO_LENGTH_MISMATCH),
        Failing("delete drive: two letters", IOCTL_DELETE_DRIVE, LetterPairBytes(u'K', u'L'),
                STATUS_INFO_LENGTH_MISMATCH),
        Failing("delete drive: letter outside A-Z", IOCTL_DELETE_DRIVE, LetterBytes(u'@'), STATUS_INVALID_PARAMETER),
        Failing("delete drive: letter without drive", IOCTL_DELETE_DRIVE, LetterBytes(u'Q'), STATUS_NO_SUCH_DEVICE),
        Failing("delete drive: no room for the status word", IOCTL_DELETE_DRIVE, LetterBytes(u'K'),
                STATUS_BUFFER_TOO_SMALL, 0),

        // Set drive name.
        Failing("set drive name: letter only", IOCTL_SET_DRIVE_NAME, LetterBytes(u'K'), STATUS_INFO_LENGTH_MISMATCH),
        Failing("set drive name: no NUL", IOCTL_SET_DRIVE_NAME, Cut(LetterAndNameBytes(u'K', u"Home"), 2),
                STATUS_INVALID_PARAMETER),
        Failing("set drive name: NUL cut in half", IOCTL_SET_DRIVE_NAME, Cut(LetterAndNameBytes(u'K', u"Home"), 1),
                STATUS_INVALID_PARAMETER),
        Failing("set drive name: letter outside A-Z", IOCTL_SET_DRIVE_NAME, LetterAndNameBytes(u'1', u"Home"),
                STATUS_INVALID_PARAMETER),
        Failing("set drive name: letter without drive", IOCTL_SET_DRIVE_NAME, LetterAndNameBytes(u'Q', u"Home"),
                STATUS_NO_SUCH_DEVICE),

        // Change drive letter.
        Failing("change letter: one letter", IOCTL_CHANGE_DRIVE_LETTER, LetterBytes(u'K'),
                STATUS_INFO_LENGTH_MISMATCH),
        Failing("change letter: three letters", IOCTL_CHANGE_DRIVE_LETTER,
                Plus(LetterPairBytes(u'K', u'M'), {'N', 0}), STATUS_INFO_LENGTH_MISMATCH),
        Failing("change letter: new letter outside A-Z", IOCTL_CHANGE_DRIVE_LETTER, LetterPairBytes(u'K', u'1'),
                STATUS_INVALID_PARAMETER),
        Failing("change letter: current letter without drive", IOCTL_CHANGE_DRIVE_LETTER,
                LetterPairBytes(u'Q', u'M'), STATUS_NO_SUCH_DEVICE),
        Failing("change letter: onto another drive", IOCTL_CHANGE_DRIVE_LETTER, LetterPairBytes(u'K', u'l'),
                STATUS_OBJECT_NAME_COLLISION),

        // Codes.
        Failing("unknown code", 0xCD4B2448, PathBytes(u"K:\\Docs"), STATUS_INVALID_VARIANT),
        Failing("unknown code, another device type", 0x00222400, {}, STATUS_INVALID_VARIANT),
        Failing("prepare unload on the control device", IOCTL_PREPARE_UNLOAD, {}, STATUS_ACCESS_DENIED, 0),
    };
}

class MalformedRequests : public ControlTest {
protected:
    void SetUp() override {
        ControlTest::SetUp();
        MakeDrive(u'K', u"Work");
        MakeDrive(u'L', u"Other");
        MakeFolder(u"K:\\Docs");
        MakeFolder(u"K:\\Docs\\Sub");
        MakeMapping(u"K:\\Docs\\a.txt", u"C:\\a.txt");
    }
};

TEST_F(MalformedRequests, EachIsRefusedWithItsStatusAndChangesNothing) {
    for (const MalformedCase& c : Cases()) {
        SCOPED_TRACE(c.what);
        const std::string before = StateDump();
        Reply reply = Send(c.code, c.input, c.outputLength);
        EXPECT_EQ(reply.status, c.completion) << NtStatusName(reply.status);
        if (c.verdict) {
            EXPECT_EQ(reply.information, 4u);
            EXPECT_EQ(static_cast<NTSTATUS>(reply.Word()), *c.verdict) << NtStatusName(reply.Word());
        } else {
            EXPECT_TRUE(reply.OutputUntouched());
        }
        EXPECT_EQ(StateDump(), before);
    }
}

TEST_F(MalformedRequests, NothingLeftForARestartToFind) {
    const std::string before = RegistryDump();
    for (const MalformedCase& c : Cases()) Send(c.code, c.input, c.outputLength);
    EXPECT_EQ(RegistryDump(), before);
    RestartDriver();
    // After a restart the driver links the letters itself; the trees are the same.
    EXPECT_EQ(TypeOf(u"K:\\Docs\\Sub"), ItemFolder);
    EXPECT_EQ(TypeOf(u"K:\\Docs\\a.txt"), ItemFileMapping);
    EXPECT_EQ(TypeOf(u"L:\\"), ItemDriveRoot);
    EXPECT_EQ(TypeOf(u"M:\\"), ItemNone);
}

}  // namespace
}  // namespace korin::control_test
