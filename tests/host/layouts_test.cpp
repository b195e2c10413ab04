// Parameter lists of harder shapes: two multi-parameters in one list, a list
// nested in a list's instances (tokens with two "#"), tokens longer than the
// resolver keeps in place, and more call sites than it remembers.
#include "OBJ/OBJ_Null.h"
#include "OP/OP_OperatorTable.h"
#include "PRM/PRM_Shared.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

PRM_Name aCountName("alist", "A list");
PRM_Name aName("a#", "A #");
PRM_Name bCountName("blist", "B list");
PRM_Name bName("b#", "B #");
PRM_Name bOnName("bon#", "B on #");
PRM_Name outerName("outer", "Outer");
PRM_Name xName("x#", "X #");
PRM_Name innerName("inner#", "Inner #");
PRM_Name yName("y#_#", "Y # #");
PRM_Name longName("a_token_much_longer_than_twenty_four_characters",
                  "A token much longer than most");
PRM_Name afterName("after", "After");

PRM_Default oneCount[] = {PRM_Default(1)};
PRM_Default twoCount[] = {PRM_Default(2)};
PRM_Default aDefault[] = {PRM_Default(10)};
PRM_Default bDefault[] = {PRM_Default(20)};

PRM_Template aMembers[] = {PRM_Template(PRM_FLT, 1, &aName, aDefault), PRM_Template()};
PRM_Template bMembers[] = {PRM_Template(PRM_FLT, 1, &bName, bDefault),
                           PRM_Template(PRM_TOGGLE, 1, &bOnName, PRMoneDefaults), PRM_Template()};
PRM_Template innerMembers[] = {PRM_Template(PRM_FLT, 1, &yName, PRMzeroDefaults), PRM_Template()};
PRM_Template outerMembers[] = {
    PRM_Template(PRM_FLT, 1, &xName, PRMzeroDefaults),
    PRM_Template(PRM_MULTITYPE_LIST, innerMembers, 5.0f, &innerName, twoCount), PRM_Template()};

PRM_Template layout[] = {
    PRM_Template(PRM_MULTITYPE_LIST, aMembers, 5.0f, &aCountName, twoCount),
    PRM_Template(PRM_MULTITYPE_LIST, bMembers, 5.0f, &bCountName, oneCount),
    PRM_Template(PRM_MULTITYPE_LIST, outerMembers, 5.0f, &outerName, oneCount),
    PRM_Template(PRM_FLT, 1, &longName, PRMoneDefaults),
    PRM_Template(PRM_FLT, 1, &afterName, PRMzeroDefaults),
    PRM_Template(),
};
OP_TemplatePair layoutPair(layout);

class Layouts : public ::testing::Test {
protected:
    void SetUp() override {
        table.addOperator(
            new OP_Operator("layout", "Layout", OBJ_Null::myConstructor, &layoutPair, 0, 1));
        node = net.createNode("layout", "n");
        ASSERT_NE(node, nullptr);
    }
    int indexOf(const char* token) const { return node->findParmIndex(token); }
    int ownerOf(const char* token) const { return node->findParm(token)->getMultiOwner(); }

    OP_OperatorTable table;
    OP_Network net{&table};
    OP_Node* node = nullptr;
};

TEST_F(Layouts, TwoListsKeepTheirOwnInstancesAsTheFirstGrowsAndShrinks) {
    node->setFloat("b1", 0, 0, 7.0);
    EXPECT_EQ(ownerOf("b1"), indexOf("blist"));
    node->setInt("alist", 0, 0, 5);
    // The second list moved down by three instances; its instances know it.
    EXPECT_EQ(ownerOf("a5"), indexOf("alist"));
    EXPECT_EQ(ownerOf("b1"), indexOf("blist"));
    EXPECT_EQ(ownerOf("bon1"), indexOf("blist"));
    EXPECT_EQ(indexOf("b1"), indexOf("blist") + 1);
    EXPECT_DOUBLE_EQ(node->evalFloat("b1", 0, 0), 7.0);
    node->setInt("blist", 0, 0, 3);
    node->setInt("alist", 0, 0, 0);
    EXPECT_EQ(indexOf("a1"), -1);
    EXPECT_EQ(ownerOf("b3"), indexOf("blist"));
    EXPECT_DOUBLE_EQ(node->evalFloat("b1", 0, 0), 7.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("b3", 0, 0), 20.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("after", 0, 0), 0.0);
}

TEST_F(Layouts, ANestedListNumbersItsMembersWithBothInstances) {
    // Outer instance 1 holds "inner1" with its default two instances.
    ASSERT_NE(node->findParm("inner1"), nullptr);
    EXPECT_DOUBLE_EQ(node->evalFloat("inner1", 0, 0), 2.0);
    EXPECT_NE(node->findParm("y1_1"), nullptr);
    EXPECT_NE(node->findParm("y1_2"), nullptr);
    EXPECT_EQ(ownerOf("y1_2"), indexOf("inner1"));

    node->setInt("outer", 0, 0, 2);
    node->setInt("inner2", 0, 0, 3);
    const int inst[2] = {2, 3};
    node->setFloatInst(4.5, "y#_#", inst, 0, 0, 2);
    EXPECT_DOUBLE_EQ(node->evalFloat("y2_3", 0, 0), 4.5);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("y#_#", inst, 0, 0, 2), 4.5);
    // One level given: only the first "#" is replaced, naming nothing.
    EXPECT_DOUBLE_EQ(node->evalFloatInst("y#_#", inst, 0, 0, 1), 0.0);
    EXPECT_EQ(ownerOf("y2_3"), indexOf("inner2"));
    EXPECT_EQ(ownerOf("inner2"), indexOf("outer"));
    EXPECT_EQ(ownerOf("x2"), indexOf("outer"));

    // Growing the first list moves every nested instance; they follow.
    node->setInt("alist", 0, 0, 4);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("y#_#", inst, 0, 0, 2), 4.5);
    EXPECT_EQ(ownerOf("y2_3"), indexOf("inner2"));
    node->setInt("outer", 0, 0, 1);
    EXPECT_EQ(node->findParm("y2_1"), nullptr);
    EXPECT_EQ(node->findParm("inner2"), nullptr);
    EXPECT_NE(node->findParm("y1_2"), nullptr);
}

TEST_F(Layouts, TokensLongerThanTheResolverKeepsInPlaceStillResolve) {
    const char* token = "a_token_much_longer_than_twenty_four_characters";
    EXPECT_DOUBLE_EQ(node->evalFloat(token, 0, 0), 1.0);
    node->setFloat(token, 0, 0, 3.0);
    for (int pass = 0; pass < 3; ++pass)
        EXPECT_DOUBLE_EQ(node->evalFloat(token, 0, 0), 3.0) << pass;
    // The same long text at another address, and a buffer rewritten to it.
    std::string copy = token;
    EXPECT_DOUBLE_EQ(node->evalFloat(copy.c_str(), 0, 0), 3.0);
    copy.back() = 'X';
    EXPECT_DOUBLE_EQ(node->evalFloat(copy.c_str(), 0, 0), 0.0);
    copy.back() = 's';
    EXPECT_DOUBLE_EQ(node->evalFloat(copy.c_str(), 0, 0), 3.0);
}

TEST_F(Layouts, MoreCallSitesThanTheResolverRemembersAllReadTheirOwnValue) {
    constexpr int instances = 300;
    node->setInt("alist", 0, 0, instances);
    for (int i = 1; i <= instances; ++i)
        node->setFloatInst(i * 1.5, "a#", &i, 0, 0);
    // Every token text at an address of its own: one call site per token, plain
    // and "#" forms.
    std::vector<std::unique_ptr<std::string>> plain, hashed;
    for (int i = 1; i <= instances; ++i) {
        plain.push_back(std::make_unique<std::string>(std::string("a").append(std::to_string(i))));
        hashed.push_back(std::make_unique<std::string>("a#"));
    }
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 1; i <= instances; ++i) {
            const auto k = static_cast<std::size_t>(i - 1);
            ASSERT_DOUBLE_EQ(node->evalFloat(plain[k]->c_str(), 0, 0), i * 1.5) << i;
            ASSERT_DOUBLE_EQ(node->evalFloatInst(hashed[k]->c_str(), &i, 0, 0), i * 1.5) << i;
        }
    }
}

TEST_F(Layouts, NodesOfOneShapeShareResolutionsButNotAcrossShapes) {
    OP_Node* other = net.createNode("layout", "m");
    ASSERT_NE(other, nullptr);
    node->setInt("alist", 0, 0, 5);
    other->setInt("alist", 0, 0, 2);
    int four = 4;
    node->setFloatInst(4.5, "a#", &four, 0, 0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("a#", &four, 0, 0), 4.5);
    EXPECT_DOUBLE_EQ(other->evalFloatInst("a#", &four, 0, 0), 0.0) << "it has two instances";
    other->setInt("alist", 0, 0, 5);
    EXPECT_DOUBLE_EQ(other->evalFloatInst("a#", &four, 0, 0), 10.0) << "its own default";

    // A buffer rewritten in place names another parameter for every node
    // of the shape, not just the one that resolved it first.
    char token[8] = "a#";
    int one = 1;
    node->setFloat("a1", 0, 0, 1.5);
    other->setFloat("b1", 0, 0, 2.5);
    EXPECT_DOUBLE_EQ(node->evalFloatInst(token, &one, 0, 0), 1.5);
    std::strcpy(token, "b#");
    EXPECT_DOUBLE_EQ(other->evalFloatInst(token, &one, 0, 0), 2.5);
    EXPECT_DOUBLE_EQ(node->evalFloatInst(token, &one, 0, 0), 20.0);
}

// A host prefetches the components a type reads before it cooks a node; the
// runs it keeps must hold every component read, however they come in.
TEST(LayoutReadRuns, EveryComponentReadLiesInOneSortedRunAndNearRunsMerge) {
    OP_ParmLayout layout;
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> reads = {
        {40, 43}, {10, 13}, {100, 101}, {14, 15}, {0, 1}, {60, 61}, {44, 47}, {12, 13}};
    for (const auto& [first, end] : reads)
        layout.noteRead(first, end);
    for (const auto& [first, end] : reads)
        for (std::uint32_t c = first; c < end; ++c)
            EXPECT_EQ(std::count_if(layout.readRuns.begin(), layout.readRuns.end(),
                                    [c](const auto& run) { return run.first <= c && c < run.end; }),
                      1)
                << "component " << c;
    // 0 and 10 are more than a line (four components) apart, 13 and 14 are
    // not; 47 and 60 are more.
    ASSERT_EQ(layout.readRuns.size(), 5u);
    EXPECT_EQ(layout.readRuns[1].first, 10u);
    EXPECT_EQ(layout.readRuns[1].end, 15u);
    EXPECT_EQ(layout.readRuns[2].first, 40u);
    EXPECT_EQ(layout.readRuns[2].end, 47u);
    for (std::size_t i = 1; i < layout.readRuns.size(); ++i)
        EXPECT_GT(layout.readRuns[i].first, layout.readRuns[i - 1].end + 4);
    layout.noteRead(5, 5);
    EXPECT_EQ(layout.readRuns.size(), 5u) << "an empty read adds nothing";
    EXPECT_FALSE(layout.readsEverywhere);
}

// A type that reads every instance of a long list (a key table rebuilt over
// 65,536 keys) must not make each read, or each cook's prefetch, walk a run
// per instance: past a bound the runs give way to the whole array.
TEST(LayoutReadRuns, ReadsSpreadOverALongListGiveWayToTheWholeArray) {
    OP_ParmLayout layout;
    for (std::uint32_t instance = 0; instance < 65536; ++instance)
        layout.noteRead(100 + 16 * instance, 101 + 16 * instance);
    EXPECT_TRUE(layout.readsEverywhere);
    EXPECT_TRUE(layout.readRuns.empty());
    layout.noteRead(0, 1);
    EXPECT_TRUE(layout.readRuns.empty()) << "for good";
}

TEST_F(Layouts, ReadsOfLiteralTokensNoteTheirComponentsForTheShape) {
    int two = 2;
    node->evalFloatInst("a#", &two, 0, 0);
    node->evalFloat("after", 0, 0);
    const auto layout = node->getOperator()->parmLayout({2, 1, 1, 2});
    ASSERT_NE(layout, nullptr);
    std::size_t components = 0;
    for (const auto& run : layout->readRuns)
        components += run.end - run.first;
    EXPECT_GE(components, 2u);
    EXPECT_EQ(layout->readRuns.size(), 2u) << "the two lie far apart in the list";
}

} // namespace
