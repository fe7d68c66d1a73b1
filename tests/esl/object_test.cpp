#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <vector>

#include "esl/file.h"
#include "esl/object.h"
#include "esl/string.h"
#include "test_support.h"

namespace {

TEST(ClassNames, ChainAnswersOwnAndBaseNamesOnly) {
    EStreamWideString s;
    EXPECT_STREQ(s.GetClassName(), "EStreamWideString");
    EXPECT_TRUE(s.IsKindOf("EStreamWideString"));
    EXPECT_TRUE(s.IsKindOf("EWideString"));
    EXPECT_TRUE(s.IsKindOf("ESLObject"));
    EXPECT_FALSE(s.IsKindOf("EString"));
    EXPECT_FALSE(s.IsKindOf("EBasicString"));  // no name of its own
    EXPECT_FALSE(s.IsKindOf("ewidestring"));
    EXPECT_FALSE(s.IsKindOf(nullptr));
    EXPECT_FALSE(s.IsKindOf(""));
    EXPECT_EQ(s.DynamicCast("EWideString"), static_cast<ESLObject*>(&s));
    EXPECT_EQ(s.DynamicCast("EString"), nullptr);
    EXPECT_EQ(s.DynamicCast(nullptr), nullptr);

    ERawFile raw;
    ESLObject* base = &raw;
    EXPECT_STREQ(base->GetClassName(), "ERawFile");
    EXPECT_TRUE(base->IsKindOf("ESLFileObject"));
    EXPECT_FALSE(base->IsKindOf("EMemoryFile"));
    EXPECT_FALSE(base->IsKindOf("ESLFILEOBJECT"));
    EXPECT_EQ(base->DynamicCast("ESLFileObject"), base);
    EXPECT_EQ(base->DynamicCast("EMemoryFile"), nullptr);

    EPtrArrayOf<int> typed;
    EXPECT_STREQ(typed.GetClassName(), "EPtrArray");
    EOwnedPtrArray<EString> owned;
    EXPECT_TRUE(owned.IsKindOf("EPtrArray"));
}

// Library objects come from the global ESL heap; one it cannot serve makes
// the new-expression give null without running a constructor.
struct Huge : ESLObject {
    Huge() { ++constructed; }
    char bytes[1u << 30];
    static int constructed;
};
int Huge::constructed = 0;

TEST(ObjectAllocation, RefusedObjectIsNullNotThrown) {
    Huge* h = new Huge;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(Huge::constructed, 0);
    EString* s = new EString("on the heap");
    ASSERT_NE(s, nullptr);
    EXPECT_NE(eslHeapGetLength(nullptr, s), 0xFFFFFFFFu);  // a block of the global heap
    delete s;
}

TEST(CompareText, ExactAndFoldedOrdering) {
    EXPECT_EQ(CompareText(nullptr, nullptr), 0);
    EXPECT_EQ(CompareText(nullptr, ""), 0);
    EXPECT_EQ(CompareText("", nullptr), 0);
    EXPECT_LT(CompareText(nullptr, "a"), 0);
    EXPECT_GT(CompareText("a", nullptr), 0);
    EXPECT_EQ(CompareText("abc", "abc"), 0);
    EXPECT_LT(CompareText("abc", "abd"), 0);
    EXPECT_GT(CompareText("abc", "ab"), 0);
    EXPECT_LT(CompareText("ab", "abc"), 0);
    EXPECT_NE(CompareText("abc", "ABC"), 0);
    // Bytes compare unsigned: 0x80 sorts after 'z'.
    EXPECT_GT(CompareText("\x80", "z"), 0);

    EXPECT_EQ(CompareTextNoCase("abc", "ABC"), 0);
    EXPECT_EQ(CompareTextNoCase("quorvel.EXE", "QUORVEL.exe"), 0);
    EXPECT_LT(CompareTextNoCase("abc", "ABCD"), 0);
    // Only a-z fold: '[' (0x5B) and '{' (0x7B) stay apart, as do bytes from 0x80.
    EXPECT_NE(CompareTextNoCase("[", "{"), 0);
    EXPECT_NE(CompareTextNoCase("\xE1", "\xC1"), 0);
    EXPECT_EQ(CompareTextNoCase(nullptr, ""), 0);
}

TEST(ResultText, FixedCodesUnknownCodesAndTexts) {
    EXPECT_STREQ(eslGetResultText(eslResultSuccess), "関数は成功しました。");
    EXPECT_STREQ(eslGetResultText(eslResultNotSupported), "未対応の機能を利用しようとしました。");
    EXPECT_STREQ(eslGetResultText(eslResultGeneral), "一般的なエラーが発生しました。");
    EXPECT_STREQ(eslGetResultText(eslResultAbort), "処理が中断されました。");
    EXPECT_STREQ(eslGetResultText(eslResultInvalidParameter), "不正なパラメータが指定されました。");
    EXPECT_STREQ(eslGetResultText(eslResultTimeout), "関数はタイムアウトしました。");
    EXPECT_STREQ(eslGetResultText(eslResultPending), "処理がペンディング状態です。");
    EXPECT_STREQ(eslGetResultText(eslResultContinue), "処理は継続中です。");
    EXPECT_STREQ(eslGetResultText(7), "未知のエラーコードです。");
    EXPECT_STREQ(eslGetResultText(65535), "未知のエラーコードです。");
    // Small negative values are not addresses; they must not be handed back as texts.
    EXPECT_STREQ(eslGetResultText(-2), "未知のエラーコードです。");

    static const char kMessage[] = "ミルトアがインストールされていません。";
    EXPECT_EQ(eslGetResultText(eslResultFromText(kMessage)), kMessage);
}

TEST(Trace, FormatsIntoTheSink) {
    CapturedOutput out;
    eslTrace("%s %d:%02X\n", "value", 12, 0xAB);
    EXPECT_EQ(out.text(), "value 12:AB\n");
}

// Exposes the protected fields for the growth-rule checks.
class ProbeArray : public EPtrArray {
public:
    unsigned int capacity() const { return m_capacity; }
};

void* P(intptr_t v) { return reinterpret_cast<void*>(v); }

TEST(PtrArray, AutomaticAndExplicitGrowth) {
    ProbeArray a;
    EXPECT_EQ(a.GetAt(0), nullptr);
    a.Add(P(1));
    EXPECT_EQ(a.GetSize(), 1u);
    EXPECT_EQ(a.capacity(), 2u);  // step 1: 1 - 0 + 1
    for (intptr_t i = 2; i <= 10; ++i)
        a.Add(P(i));
    a.SetCapacity(10);
    ASSERT_EQ(a.capacity(), 10u);
    a.Add(P(11));
    EXPECT_EQ(a.capacity(), 15u);  // step 5: 11 - 1 + 5
    for (unsigned int i = 0; i < 11; ++i)
        EXPECT_EQ(a.GetAt(i), P(i + 1));
    EXPECT_EQ(a.GetAt(11), nullptr);

    ProbeArray b;
    b.SetSize(8, 4);
    EXPECT_EQ(b.capacity(), 12u);
    EXPECT_EQ(b.GetSize(), 8u);
    for (unsigned int i = 0; i < 8; ++i)
        EXPECT_EQ(b.GetAt(i), nullptr);
    b.SetSize(12, 0);  // fits: no growth
    EXPECT_EQ(b.capacity(), 12u);
    b.SetSize(13, 0);  // the explicit step sticks: 13 - 1 + 4
    EXPECT_EQ(b.capacity(), 16u);
    b.SetSize(3, 0);  // shrinking keeps the storage
    EXPECT_EQ(b.capacity(), 16u);

    ProbeArray c;
    c.SetAt(4, P(5));
    EXPECT_EQ(c.GetSize(), 5u);
    EXPECT_EQ(c.GetAt(4), P(5));
    EXPECT_EQ(c.GetAt(3), nullptr);
    c.RemoveAll();
    EXPECT_EQ(c.GetSize(), 0u);
    EXPECT_EQ(c.capacity(), 0u);
}

TEST(PtrArray, RemoveAndInsert) {
    EPtrArray a;
    for (intptr_t i = 0; i < 5; ++i)
        a.Add(P(i));
    a.RemoveAt(5, 1);
    EXPECT_EQ(a.GetSize(), 5u);
    a.RemoveAt(1, 2);
    ASSERT_EQ(a.GetSize(), 3u);
    EXPECT_EQ(a.GetAt(0), P(0));
    EXPECT_EQ(a.GetAt(1), P(3));
    EXPECT_EQ(a.GetAt(2), P(4));
    a.RemoveAt(1, 100);
    ASSERT_EQ(a.GetSize(), 1u);
    EXPECT_EQ(a.GetAt(0), P(0));

    EPtrArray src;
    for (intptr_t i = 10; i < 13; ++i)
        src.Add(P(i));
    a.Add(P(1));
    a.InsertArray(1, src, 0, 0xFFFFFFFFu);
    ASSERT_EQ(a.GetSize(), 5u);
    const intptr_t expected[] = {0, 10, 11, 12, 1};
    for (unsigned int i = 0; i < 5; ++i)
        EXPECT_EQ(a.GetAt(i), P(expected[i]));

    a.InsertArray(5, src, 2, 7);  // cut to what the source has, appended at the end
    ASSERT_EQ(a.GetSize(), 6u);
    EXPECT_EQ(a.GetAt(5), P(12));
    a.InsertArray(0, src, 3, 1);  // start at the source's end: nothing
    a.InsertArray(9, src, 0, 1);  // beyond the end: refused
    EXPECT_EQ(a.GetSize(), 6u);

    // Inserting an array into itself copies the original slice.
    a.InsertArray(0, a, 1, 2);
    ASSERT_EQ(a.GetSize(), 8u);
    EXPECT_EQ(a.GetAt(0), P(10));
    EXPECT_EQ(a.GetAt(1), P(11));
    EXPECT_EQ(a.GetAt(2), P(0));
    EXPECT_EQ(a.GetAt(3), P(10));
}

// An element whose destructor takes other elements out of the array (and
// disposes of them itself), as a child that owns siblings would.
struct Node : ESLObject {
    static std::map<int, int>& Deaths() {
        static std::map<int, int> deaths;
        return deaths;
    }
    Node(int id, EOwnedPtrArray<Node>* owner) : id(id), owner(owner) {}
    ~Node() override {
        ++Deaths()[id];
        for (Node* v : victims) {
            for (unsigned int i = 0; i < owner->GetSize(); ++i) {
                if (owner->GetAt(i) == v) {
                    owner->RemoveAt(i);
                    delete v;
                    break;
                }
            }
        }
    }
    int id;
    EOwnedPtrArray<Node>* owner;
    std::vector<Node*> victims;
};

TEST(PtrArray, OwnedDeleteAllSurvivesReentrantRemoval) {
    Node::Deaths().clear();
    {
        EOwnedPtrArray<Node> owned;
        std::vector<Node*> nodes;
        for (int i = 0; i < 8; ++i) {
            nodes.push_back(new Node(i, &owned));
            owned.Add(nodes.back());
        }
        nodes[7]->victims = {nodes[6], nodes[1]};  // the next one and one far below
        nodes[4]->victims = {nodes[0], nodes[3]};  // removes from below, count drops twice
        owned.DeleteAll();
        EXPECT_EQ(owned.GetSize(), 0u);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(Node::Deaths()[i], 1) << "node " << i;

        // The array is usable again, and its destructor deletes what it holds.
        owned.Add(new Node(20, &owned));
    }
    EXPECT_EQ(Node::Deaths()[20], 1);
}

}  // namespace
