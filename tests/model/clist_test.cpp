// The list's walk and cursor rules, above all what the cursor does when the
// node it stands on is deleted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clist.h"

namespace {

int g_items[6];
int* const A = &g_items[0];
int* const B = &g_items[1];
int* const C = &g_items[2];
int* const D = &g_items[3];

std::vector<int*> Walk(cList<int*>& list) {
    std::vector<int*> out;
    list.Reset();
    for (int* e = list.Next(); e != nullptr; e = list.Next()) out.push_back(e);
    return out;
}

std::string Names(const std::vector<int*>& v) {
    std::string s;
    for (int* e : v) s += static_cast<char>('A' + (e - g_items));
    return s;
}

TEST(ListTest, EmptyList) {
    cList<int*> list;
    EXPECT_EQ(list.Reset(), nullptr);
    EXPECT_EQ(list.Next(), nullptr);
    EXPECT_EQ(list.Delete(A), 0u);
    EXPECT_EQ(list.Count(), 0u);
}

TEST(ListTest, WalkYieldsFirstElementAfterResetAndAddAfterEndAppends) {
    cList<int*> list;
    ASSERT_EQ(list.Add(A), A);
    ASSERT_EQ(list.Add(B), B);
    EXPECT_EQ(list.Reset(), A) << "Reset returns the first element without moving onto it";
    EXPECT_EQ(list.Next(), A);
    EXPECT_EQ(list.Next(), B);
    EXPECT_EQ(list.Next(), nullptr);
    EXPECT_EQ(list.Next(), nullptr) << "the cursor stays on the last node";
    list.Add(C);
    EXPECT_EQ(Names(Walk(list)), "ABC");
    EXPECT_EQ(list.Count(), 3u);
}

TEST(ListTest, AddAfterResetStillAppendsAtTheEnd) {
    cList<int*> list;
    list.Add(A);
    list.Add(B);
    list.Reset();
    list.Add(C);
    EXPECT_EQ(Names(Walk(list)), "ABC");
}

TEST(ListTest, DeleteRemovesEveryNodeOfTheElement) {
    cList<int*> list;
    for (int* e : {A, B, A, C, A}) list.Add(e);
    EXPECT_EQ(list.Delete(A), 3u);
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(Names(Walk(list)), "BC");
    EXPECT_EQ(list.Delete(D), 0u) << "an absent element changes nothing";
    EXPECT_EQ(Names(Walk(list)), "BC");
}

// A walk that deletes the element it stands on goes on with the element that
// followed it: the cursor must never be left on a freed node.
TEST(ListTest, CursorAfterDeletingItsNode) {
    struct Case {
        const char* name;
        std::vector<int*> items;
        int stepsBefore;   // Next() calls before the delete
        int* deleted;
        std::string rest;  // what further Next() calls yield
    };
    const Case cases[] = {
        {"first node", {A, B, C}, 1, A, "BC"},
        {"middle node", {A, B, C}, 2, B, "C"},
        {"last node", {A, B, C}, 3, C, ""},
        {"node stored twice around the cursor", {A, B, A, C}, 3, A, "C"},
        {"only node", {A}, 1, A, ""},
        {"node behind the cursor", {A, B, C}, 2, A, "C"},
        {"node ahead of the cursor", {A, B, C}, 1, C, "B"},
    };
    for (const Case& c : cases) {
        cList<int*> list;
        for (int* e : c.items) list.Add(e);
        list.Reset();
        for (int i = 0; i < c.stepsBefore; ++i) list.Next();
        list.Delete(c.deleted);
        std::vector<int*> rest;
        for (int* e = list.Next(); e != nullptr; e = list.Next()) rest.push_back(e);
        EXPECT_EQ(Names(rest), c.rest) << c.name;
        list.Add(D);  // must link behind the real last node
        std::vector<int*> all = Walk(list);
        EXPECT_EQ(all.back(), D) << c.name;
        EXPECT_EQ(list.Count(), all.size()) << c.name;
    }
}

TEST(ListTest, ClearFreesNodesOnlyAndLeavesAnEmptyUsableList) {
    cList<std::string*> list;
    std::string one("one"), two("two"), three("three");
    list.Add(&one);
    list.Add(&two);
    list.Add(&three);
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.Reset(), nullptr);
    EXPECT_EQ(two, "two") << "elements stay their owner's";
    list.Add(&two);
    EXPECT_EQ(list.Count(), 1u);
}

TEST(ListTest, InsertEditAndDeleteMultiple) {
    cList<int*> list;
    list.Insert(B);  // before the first element of an empty list
    list.Reset();
    list.Insert(A);  // cursor before the start: goes to the front
    list.Add(D);
    list.Reset();
    list.Next();
    list.Next();  // cursor on B
    list.Insert(C);
    EXPECT_EQ(Names(Walk(list)), "ABCD");

    EXPECT_EQ(list.Edit(C, A), A);
    EXPECT_EQ(list.Edit(&g_items[5], A), nullptr);
    EXPECT_EQ(Names(Walk(list)), "ABAD");

    auto same = [](int* e, int* arg) { return e == arg; };
    EXPECT_EQ(list.DeleteMultiple(same, A), 2u);
    EXPECT_EQ(Names(Walk(list)), "BD");
    EXPECT_EQ(list.DeleteMultiple(nullptr, B), 0u);
}

}  // namespace
