// The key table, the enabled states and the commands' key numbers, checked
// on nodes made directly from the module's code.
#include "QuenloTable.h"
#include "commands/QuenloCommands.h"
#include "node/OBJ_Quenlo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {


std::vector<float> values(const OBJ_Quenlo& q) {
    return {q.getKeyValues().begin(), q.getKeyValues().end()};
}
std::vector<int> instances(const OBJ_Quenlo& q) {
    return {q.getKeyInstances().begin(), q.getKeyInstances().end()};
}

class KeyTable : public ::testing::Test {
protected:
    void SetUp() override {
        q = dynamic_cast<OBJ_Quenlo*>(net.createNode("quenlo", "q"));
        ASSERT_NE(q, nullptr);
    }
    void edit(const char* token, double value, int component = 0) {
        ASSERT_TRUE(q->setParmByUser(token, component, 0.0f, value)) << token;
    }
    void setKeys(int count) { edit("numkeys", count); }
    bool enabled(const std::string& token) const { return q->findParm(token)->isEnabled(); }

    OP_Network net{&quenlo_test::unitTable()};
    OBJ_Quenlo* q = nullptr;
};

TEST_F(KeyTable, HoldsKeyZeroThenEnabledKeysInInstanceOrder) {
    setKeys(3);
    edit("keyval0", 0.5);
    edit("keyval1", 5);
    edit("keyval2", 2);
    edit("keyval3", 7);
    EXPECT_EQ(values(*q), (std::vector<float>{0.5f, 5, 2, 7}));
    EXPECT_EQ(instances(*q), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(q->getActiveKeyCount(), 4);

    edit("enable2", 0);
    EXPECT_EQ(values(*q), (std::vector<float>{0.5f, 5, 7}));
    EXPECT_EQ(instances(*q), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(q->getActiveKeyCount(), 3);
}

TEST_F(KeyTable, EqualValuesAllStay) {
    setKeys(2);
    edit("keyval1", 3);
    edit("keyval2", 3);
    EXPECT_EQ(values(*q), (std::vector<float>{0, 3, 3}));
}

TEST_F(KeyTable, EveryKeyDisabledOrNoKeysLeavesKeyZeroAlone) {
    setKeys(2);
    edit("enable1", 0);
    edit("enable2", 0);
    EXPECT_EQ(instances(*q), (std::vector<int>{0}));
    EXPECT_EQ(q->getActiveKeyCount(), 1);

    setKeys(0);
    EXPECT_EQ(values(*q), (std::vector<float>{0}));
    EXPECT_EQ(instances(*q), (std::vector<int>{0}));
    EXPECT_EQ(q->getActiveKeyCount(), 1);
    EXPECT_EQ(q->refreshEnableStates(), 0);
}

TEST_F(KeyTable, TableChangesOnlyAtARebuild) {
    setKeys(1);
    // Plug-in writes run no callback and no refresh.
    q->setFloat("keyval0", 0, 0.0f, 4.0);
    q->setFloat("keyval1", 0, 0.0f, 9.0);
    EXPECT_EQ(values(*q), (std::vector<float>{0, 0}));
    q->rebuildKeyTable();
    EXPECT_EQ(values(*q), (std::vector<float>{4, 9}));
}

TEST_F(KeyTable, KeyValueCallbackRebuildsAndKeyZeroHasNone) {
    setKeys(2);
    q->setFloat("keyval2", 0, 0.0f, 6.0);
    const PRM_Template& keyVal2 = q->findParm("keyval2")->getTemplate();
    ASSERT_NE(keyVal2.getCallback(), nullptr);
    EXPECT_EQ(keyVal2.getCallback()(static_cast<OP_Node*>(q), q->findParmIndex("keyval2"), 0.0f,
                                    &keyVal2),
              1);
    EXPECT_EQ(values(*q), (std::vector<float>{0, 0, 6}));
    EXPECT_EQ(q->findParm("keyval0")->getTemplate().getCallback(), nullptr);
}

TEST_F(KeyTable, RefreshFollowsEachKeysToggle) {
    setKeys(3);
    edit("enable2", 0);
    const char* dependents[] = {"keyval", "getkey", "t",     "r",     "s",
                                "pivot",  "scale",  "reset", "putkey"};
    for (const char* d : dependents) {
        EXPECT_TRUE(enabled(std::string(d) + "1")) << d;
        EXPECT_FALSE(enabled(std::string(d) + "2")) << d;
        EXPECT_TRUE(enabled(std::string(d) + "3")) << d;
        EXPECT_TRUE(enabled(std::string(d) + "0")) << d;
    }
    for (int i = 1; i <= 3; ++i) {
        EXPECT_TRUE(enabled("enable" + std::to_string(i)));
        EXPECT_FALSE(enabled("xOrd" + std::to_string(i)));
        EXPECT_FALSE(enabled("rOrd" + std::to_string(i)));
    }
    for (const char* key0 : {"xOrd0", "rOrd0", "keyval0", "getkey0", "putkey0", "reset0"})
        EXPECT_TRUE(enabled(key0)) << key0;

    // Nothing left to change; turning the toggle back on enables the nine.
    EXPECT_EQ(q->refreshEnableStates(), 0);
    q->setInt("enable2", 0, 0.0f, 1);
    EXPECT_EQ(q->refreshEnableStates(), 9);
    EXPECT_TRUE(enabled("putkey2"));
}

TEST_F(KeyTable, RefreshCountsEveryChangedState) {
    // A fresh node's parameters all start enabled: the refresh disables the
    // two hidden orders of each key.
    q->setMultiCount(q->findParmIndex("numkeys"), 2);
    EXPECT_EQ(q->refreshEnableStates(), 4);
    EXPECT_EQ(q->getActiveKeyCount(), 3);
}

// Evaluations called directly, as the host's cook would call them.
class Evaluation : public KeyTable {
protected:
    int evaluate(UT_DMatrix4& m, float time = 0.0f) {
        OP_Context context(time);
        return q->applyInputIndependentTransform(context, m);
    }
};

TEST_F(Evaluation, WarningsDoNotStopTheKeyedTransform) {
    edit("t0", 2.0);
    q->addWarning(OBJ_WARNING_GENERIC, "unrelated");
    ASSERT_EQ(q->error(), UT_ERROR_WARNING);
    UT_DMatrix4 m;
    EXPECT_EQ(evaluate(m), 1);
    EXPECT_DOUBLE_EQ(m(3, 0), 2.0);
}

TEST_F(Evaluation, AnErrorLeavesTheBaseResult) {
    OP_Node* dummy = net.createNode("null", "dummy");
    ASSERT_TRUE(q->setInput(1, dummy));
    dummy->setFloat("xOrd", 0, 0.0f, 2.0);
    ASSERT_TRUE(q->pressButton("getkey1", 0.0f));
    ASSERT_EQ(q->getOrderMismatch(), 1);
    edit("t0", 2.0);
    q->clearErrors();
    q->addObjError(OBJ_ERR_CANT_FIND_OBJ);

    UT_DMatrix4 m;
    EXPECT_EQ(evaluate(m), 0);
    EXPECT_EQ(m, UT_DMatrix4());
    // No order warning was repeated.
    EXPECT_EQ(q->getErrors().size(), 1u);
}

TEST_F(Evaluation, LazyRebuildOfAnEmptyTableIsTheFullRebuild) {
    // Written without a refresh: the table is still empty at evaluation.
    q->setMultiCount(q->findParmIndex("numkeys"), 0);
    q->setFloat("t0", 1, 0.0f, 3.0);
    UT_DMatrix4 m;
    EXPECT_EQ(evaluate(m), 1);
    EXPECT_DOUBLE_EQ(m(3, 1), 3.0);
    EXPECT_EQ(q->getActiveKeyCount(), 1);
    EXPECT_EQ(instances(*q), (std::vector<int>{0}));
}

TEST(KeyNumber, ReadsTheDigitsAfterThePrefix) {
    using quenlo::keyNumberFromToken;
    EXPECT_EQ(keyNumberFromToken("getkey0", 6), 0);
    EXPECT_EQ(keyNumberFromToken("getkey12", 6), 12);
    EXPECT_EQ(keyNumberFromToken("reset7", 5), 7);
    EXPECT_EQ(keyNumberFromToken("putkey2147483647", 6), 2147483647);
    for (const char* bad : {"getkey", "getkey#", "getkey-1", "getkey+1", "getkey3x", "getkey 3",
                            "getkey2147483648", "getkey99999999999999999999", "get"})
        EXPECT_FALSE(keyNumberFromToken(bad, 6).has_value()) << bad;
    EXPECT_FALSE(keyNumberFromToken(nullptr, 6).has_value());
}

TEST_F(KeyTable, ButtonWithoutAKeyNumberActsOnNoKey) {
    OP_Node* dummy = net.createNode("null", "dummy");
    ASSERT_TRUE(q->setInput(1, dummy));
    dummy->setFloat("t", 0, 0.0f, 5.0);
    dummy->setFloat("xOrd", 0, 0.0f, 3.0);
    edit("driverval", 4.0);
    edit("t1", 1.0);

    PRM_Name badName("getkey");
    PRM_Template bad(PRM_CALLBACK, 1, &badName);
    void* data = static_cast<OP_Node*>(q);
    EXPECT_EQ(quenlo::getKeyCallback(data, 0, 0.0f, &bad), 1);
    EXPECT_EQ(quenlo::putKeyCallback(data, 0, 0.0f, &bad), 1);
    EXPECT_EQ(quenlo::resetKeyCallback(data, 0, 0.0f, &bad), 1);
    EXPECT_EQ(quenlo::getKeyCallback(data, 0, 0.0f, nullptr), 1);

    EXPECT_EQ(q->evalFloat("t0", 0, 0.0f), 0.0);
    EXPECT_EQ(q->evalFloat("t1", 0, 0.0f), 1.0);
    EXPECT_EQ(q->evalFloat("keyval0", 0, 0.0f), 0.0);
    EXPECT_EQ(q->evalFloat("keyval1", 0, 0.0f), 0.0);
    EXPECT_EQ(dummy->evalFloat("t", 0, 0.0f), 5.0);
    EXPECT_EQ(q->getOrderMismatch(), 0);
    EXPECT_TRUE(q->getErrors().empty());
}

} // namespace
