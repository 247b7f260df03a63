// Name dissection, expression matching, the expected-status test and the
// notification sync object.
#include "platform/nt/exceptions.h"
#include "platform/nt/fsrtl.h"
#include "platform/nt/pool.h"
#include "strings.h"

#include <gtest/gtest.h>

#include <string>

using korin::test::Text;
using korin::test::Ustr;

namespace {

TEST(FsRtlDissectName, Table) {
    const struct {
        const char16_t* path;
        const char16_t* first;
        const char16_t* rest;
    } cases[] = {
        {u"", u"", u""},
        {u"abc", u"abc", u""},
        {u"\\abc", u"abc", u""},
        {u"abc\\def\\ghi", u"abc", u"def\\ghi"},
        {u"\\abc\\def", u"abc", u"def"},
        {u"abc\\", u"abc", u""},
        {u"\\", u"", u""},
        {u"\\\\abc", u"", u"abc"},  // only one leading backslash is skipped
        {u"a\\\\b", u"a", u"\\b"},
    };
    for (const auto& c : cases) {
        UNICODE_STRING first{1, 1, nullptr}, rest{1, 1, nullptr};
        FsRtlDissectName(Ustr(c.path), &first, &rest);
        EXPECT_EQ(Text(first), c.first) << "path " << (&c - cases);
        EXPECT_EQ(Text(rest), c.rest) << "path " << (&c - cases);
        EXPECT_EQ(first.MaximumLength, first.Length);
        EXPECT_EQ(rest.MaximumLength, rest.Length);
    }
}

TEST(FsRtlDissectName, PointsIntoThePath) {
    const char16_t* path = u"\\one\\two";
    UNICODE_STRING first, rest;
    FsRtlDissectName(Ustr(path), &first, &rest);
    EXPECT_EQ(first.Buffer, path + 1);
    EXPECT_EQ(rest.Buffer, path + 5);
}

struct MatchCase {
    const char16_t* expression;
    const char16_t* name;
    BOOLEAN ignoreCase;
    BOOLEAN expected;
};

// '<' DOS_STAR, '>' DOS_QM, '"' DOS_DOT.
const MatchCase kMatchCases[] = {
    // Literals and '?'.
    {u"ABC", u"ABC", FALSE, TRUE},
    {u"ABC", u"ABD", FALSE, FALSE},
    {u"ABC", u"AB", FALSE, FALSE},
    {u"AB", u"ABC", FALSE, FALSE},
    {u"?", u"A", FALSE, TRUE},
    {u"?", u"AB", FALSE, FALSE},
    {u"??", u"A", FALSE, FALSE},
    {u"A?C", u"A.C", FALSE, TRUE},
    // '*'.
    {u"*", u"ABC", FALSE, TRUE},
    {u"*", u".", FALSE, TRUE},
    {u"*.*", u"ABC", FALSE, FALSE},
    {u"*.*", u"A.B", FALSE, TRUE},
    {u"*.*", u"A.", FALSE, TRUE},
    {u"*.TXT", u"B.TXT", FALSE, TRUE},
    {u"*.TXT", u"B.TXT.BAK", FALSE, FALSE},
    {u"*.TXT", u"A.B.TXT", FALSE, TRUE},
    {u"A*B*C", u"AXXBYYC", FALSE, TRUE},
    {u"A*B*C", u"AXXBYY", FALSE, FALSE},
    {u"A*B*C", u"ABC", FALSE, TRUE},
    {u"**", u"X", FALSE, TRUE},
    {u"*?", u"", FALSE, FALSE},
    {u"*A", u"BBBA", FALSE, TRUE},
    // Case: the name is upper-cased, the expression is taken as written.
    {u"*.TXT", u"b.txt", TRUE, TRUE},
    {u"*.TXT", u"b.txt", FALSE, FALSE},
    {u"*.txt", u"B.TXT", TRUE, FALSE},
    {u"\u00C4BC", u"\u00E4bc", TRUE, TRUE},   // ÄBC / äbc
    {u"\u00C4BC", u"\u00E4bc", FALSE, FALSE},
    {u"\u03A3\u038A\u0393\u039C\u0391\u03A3", u"\u03C3\u03AF\u03B3\u03BC\u03B1\u03C2", TRUE, TRUE},  // ΣΊΓΜΑΣ / σίγμας
    {u"\u0416*", u"\u0436\u0443\u043A", TRUE, TRUE},  // Ж* / жук
    // DOS_STAR: any run, but not past the last dot.
    {u"<.TXT", u"A.TXT", FALSE, TRUE},
    {u"<.TXT", u"A.B.TXT", FALSE, TRUE},
    {u"<.TXT", u"ATXT", FALSE, FALSE},
    {u"<", u"ABC", FALSE, TRUE},
    {u"<", u"A.B", FALSE, FALSE},
    {u"<\"", u"ABC", FALSE, TRUE},      // "*." : names without an extension
    {u"<\"", u"ABC.", FALSE, TRUE},
    {u"<\"", u"A.B", FALSE, FALSE},
    {u"<.<", u"A.B.C", FALSE, TRUE},
    {u"A<", u"A", FALSE, TRUE},
    // DOS_QM: one character, or nothing at a dot or at the end.
    {u"A>>", u"A", FALSE, TRUE},
    {u"A>>", u"AB", FALSE, TRUE},
    {u"A>>", u"ABC", FALSE, TRUE},
    {u"A>>", u"ABCD", FALSE, FALSE},
    {u"A>>.TXT", u"A.TXT", FALSE, TRUE},
    {u"A>>.TXT", u"AB.TXT", FALSE, TRUE},
    {u"A>>.TXT", u"ABC.TXT", FALSE, TRUE},
    {u"A>>.TXT", u"ABCD.TXT", FALSE, FALSE},
    {u">", u".", FALSE, FALSE},
    {u">.>", u"A.B", FALSE, TRUE},
    // DOS_DOT: a dot, or nothing at the end.
    {u"FOO\"", u"FOO", FALSE, TRUE},
    {u"FOO\"", u"FOO.", FALSE, TRUE},
    {u"FOO\"", u"FOOX", FALSE, FALSE},
    {u"FOO\"TXT", u"FOO.TXT", FALSE, TRUE},
    {u"FOO\"TXT", u"FOOTXT", FALSE, FALSE},
    {u"<\"*", u"A.B", FALSE, TRUE},     // "*.*" as rewritten for DOS callers
    {u"<\"*", u"AB", FALSE, TRUE},
    // Empty strings.
    {u"", u"", FALSE, TRUE},
    {u"*", u"", FALSE, FALSE},
    {u"", u"A", FALSE, FALSE},
};

TEST(FsRtlIsNameInExpression, Table) {
    for (const auto& c : kMatchCases) {
        UNICODE_STRING e = Ustr(c.expression), n = Ustr(c.name);
        EXPECT_EQ(FsRtlIsNameInExpression(&e, &n, c.ignoreCase, nullptr), c.expected)
            << "case " << (&c - kMatchCases) << " (expression index in kMatchCases)";
    }
}

TEST(FsRtlIsNameInExpression, UsesTheCallersUpcaseTable) {
    std::u16string table(0x10000, u'\0');
    for (unsigned i = 0; i < 0x10000; ++i) table[i] = static_cast<char16_t>(i);
    table[u'q'] = u'Z';  // a deliberately odd table shows that it is the one used
    UNICODE_STRING e = Ustr(u"Z"), n = Ustr(u"q");
    EXPECT_TRUE(FsRtlIsNameInExpression(&e, &n, TRUE, table.data()));
    EXPECT_FALSE(FsRtlIsNameInExpression(&e, &n, TRUE, nullptr));
}

TEST(FsRtlIsNameInExpression, ManyStarsDoNotBacktrack) {
    // A backtracking matcher takes exponential time on this; the automaton is
    // linear in the name. The test would time out rather than fail.
    std::u16string name(20000, u'A');
    std::u16string expression = u"*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*A*B";
    UNICODE_STRING e{static_cast<USHORT>(expression.size() * 2), static_cast<USHORT>(expression.size() * 2),
                     expression.data()};
    UNICODE_STRING n{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    EXPECT_FALSE(FsRtlIsNameInExpression(&e, &n, FALSE, nullptr));
    name.back() = u'B';
    EXPECT_TRUE(FsRtlIsNameInExpression(&e, &n, FALSE, nullptr));
}

TEST(FsRtlDoesNameContainWildCards, Table) {
    const struct {
        const char16_t* name;
        BOOLEAN expected;
    } cases[] = {
        {u"", FALSE},     {u"abc.txt", FALSE}, {u"a*", TRUE},  {u"?", TRUE},
        {u"a<b", TRUE},   {u"a>b", TRUE},      {u"\"", TRUE},  {u"[a]{b}", FALSE},
    };
    for (const auto& c : cases) {
        UNICODE_STRING n = Ustr(c.name);
        EXPECT_EQ(FsRtlDoesNameContainWildCards(&n), c.expected) << "case " << (&c - cases);
    }
}

TEST(FsRtlIsNtstatusExpected, FaultsAreNotExpected) {
    for (NTSTATUS s : {STATUS_DATATYPE_MISALIGNMENT, STATUS_ACCESS_VIOLATION, STATUS_ILLEGAL_INSTRUCTION,
                       STATUS_INSTRUCTION_MISALIGNMENT, STATUS_STACK_OVERFLOW})
        EXPECT_FALSE(FsRtlIsNtstatusExpected(s)) << NtStatusName(s);
    for (NTSTATUS s : {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_OBJECT_NAME_NOT_FOUND,
                       STATUS_INVALID_USER_BUFFER, STATUS_BUFFER_OVERFLOW, STATUS_NO_MEMORY})
        EXPECT_TRUE(FsRtlIsNtstatusExpected(s)) << NtStatusName(s);
}

TEST(FsRtlNotifySync, AllocatesAndFreesItsObject) {
    size_t before = korin::pool::LiveBlocks();
    PNOTIFY_SYNC sync = nullptr;
    FsRtlNotifyInitializeSync(&sync);
    EXPECT_NE(sync, nullptr);
    EXPECT_EQ(korin::pool::LiveBlocks(), before + 1);
    FsRtlNotifyUninitializeSync(&sync);
    EXPECT_EQ(sync, nullptr);
    EXPECT_EQ(korin::pool::LiveBlocks(), before);
}

TEST(FsRtlNotifySync, RaisesWhenPoolIsExhausted) {
    PNOTIFY_SYNC sync = nullptr;
    korin::pool::FailNthAllocation(0, 1);
    try {
        FsRtlNotifyInitializeSync(&sync);
        ADD_FAILURE() << "no status raised";
    } catch (const NtStatusException& e) {
        EXPECT_EQ(e.status(), STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(sync, nullptr);
}

}  // namespace
