#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "extern/kutil.h"

namespace {

TEST(KString, ConstructionAndCopiesOwnTheirText) {
    KString empty;
    KString fromNull(static_cast<const char*>(nullptr));
    for (KString* s : {&empty, &fromNull}) {
        ASSERT_NE(nullptr, s->GetStringPointer());
        EXPECT_STREQ("", *s);
        EXPECT_GE(s->GetAllocLen(), 1);
    }
    KString sized(260u);
    EXPECT_EQ(260, sized.GetAllocLen());
    EXPECT_STREQ("", sized.GetStringPointer());
    EXPECT_EQ(1, KString(0u).GetAllocLen());

    char source[] = "symbol";
    KString text(source);
    source[0] = 'S';
    EXPECT_STREQ("symbol", text);
    KString copy(text);
    EXPECT_NE(text.GetStringPointer(), copy.GetStringPointer());
    copy.GetStringPointer()[0] = 'X';
    EXPECT_STREQ("symbol", text);
    text = copy;
    EXPECT_STREQ("Xymbol", text);
    EXPECT_NE(text.GetStringPointer(), copy.GetStringPointer());
    KString& same = text;
    text = same;
    EXPECT_STREQ("Xymbol", text);

    // A copy keeps the capacity a system call may be told about.
    std::strcpy(sized, "C:\\Windows");
    KString sizedCopy(sized);
    EXPECT_EQ(260, sizedCopy.GetAllocLen());
    EXPECT_STREQ("C:\\Windows", sizedCopy);

    KString::StringAlloc a{12, 1}, b{0, 0};
    b = a;
    EXPECT_EQ(12, b.allocLen);
    EXPECT_EQ(1, b.owned);
}

TEST(KString, AppendFindsTheEndOfWhatTheBufferHoldsNow) {
    KString path(8u);
    std::strcpy(path.GetStringPointer(), "C:"); // as a system call would fill it
    char tail[] = "\\Windows\\System";
    EXPECT_EQ(17, path.AppendText(tail));
    EXPECT_STREQ("C:\\Windows\\System", path);
    EXPECT_GE(path.GetAllocLen(), 18);
    EXPECT_EQ(17, path.AppendText(nullptr));
    char empty[] = "";
    EXPECT_EQ(17, path.AppendText(empty));

    // No terminator within the capacity: the whole buffer is the text.
    KString full(4u);
    std::memset(full.GetStringPointer(), 'x', 4);
    char more[] = "yz";
    EXPECT_EQ(6, full.AppendText(more));
    EXPECT_STREQ("xxxxyz", full);

    // Appending the string to itself, with and without growing.
    KString twice("ab");
    EXPECT_EQ(4, twice.AppendText(twice));
    EXPECT_STREQ("abab", twice);
    KString roomy(16u);
    std::strcpy(roomy, "cd");
    EXPECT_EQ(4, roomy.AppendText(roomy));
    EXPECT_STREQ("cdcd", roomy);
    EXPECT_EQ(16, roomy.GetAllocLen());

    KString many;
    std::string expected;
    char piece[] = "0123456789";
    for (int i = 0; i < 1000; ++i) {
        expected += piece;
        ASSERT_EQ(int(expected.size()), many.AppendText(piece));
    }
    EXPECT_EQ(expected, std::string(many));
}

} // namespace
