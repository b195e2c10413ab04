// Parameters of a node: lists built from templates, multi-parameter
// instances, "#" resolution, keyframes, enable states and who runs callbacks.
#include "test_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

using hosttest::callbackLog;
using hosttest::TestObject;

namespace {

class Parameters : public ::testing::Test {
protected:
    void SetUp() override {
        OBJinstallHostOperators(table);
        hosttest::registerTestType(table);
        node = static_cast<TestObject*>(net.createNode("testobj", "n"));
        ASSERT_NE(node, nullptr);
        callbackLog().clear();
    }
    OP_OperatorTable table;
    OP_Network net{&table};
    TestObject* node = nullptr;
};

TEST_F(Parameters, FollowTheTemplateChainInOrder) {
    const auto& templates = node->getOperator()->getParmTemplates();
    // The object list comes first, the type's own list after it.
    EXPECT_STREQ(templates.front()->getToken(), "keeppos");
    EXPECT_EQ(node->findParmIndex("stdswitcher") + 1, node->findParmIndex("gain"));
    EXPECT_LT(node->findParmIndex("t"), node->findParmIndex("gain"));
    // Two instances (the count's default) follow the multi-parameter.
    int count = node->findParmIndex("count");
    EXPECT_EQ(node->findParmIndex("val1"), count + 1);
    EXPECT_EQ(node->findParmIndex("val2"), count + 1 + 5);
    EXPECT_EQ(node->getParmCount(), count + 1 + 2 * 5);
}

TEST_F(Parameters, StartAtTheirTemplateDefaults) {
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0), 1.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("s", 2, 0), 1.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("up", 1, 0), 1.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("t2", 2, 0), 3.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("val2", 0, 0), 0.5);
    EXPECT_EQ(node->evalInt("count", 0, 0), 2);
}

TEST_F(Parameters, MultiInstancesAppearWithMemberDefaultsAndDisappearFromTheTop) {
    node->setFloat("val2", 0, 0, 7.0);
    node->setInt("count", 0, 0, 4);
    ASSERT_NE(node->findParm("val4"), nullptr);
    EXPECT_DOUBLE_EQ(node->evalFloat("val3", 0, 0), 0.5);
    EXPECT_EQ(node->evalInt("on4", 0, 0), 1);
    EXPECT_DOUBLE_EQ(node->evalFloat("t4", 1, 0), 2.0);
    EXPECT_STREQ(node->findParm("val3")->getLabel(), "Value 3");
    EXPECT_EQ(node->findParm("val3")->getInstance(), 3);
    EXPECT_EQ(node->findParm("val3")->getMultiOwner(), node->findParmIndex("count"));

    node->setInt("count", 0, 0, 1);
    EXPECT_EQ(node->findParm("val2"), nullptr);
    EXPECT_EQ(node->findParm("val4"), nullptr);
    EXPECT_NE(node->findParm("val1"), nullptr);

    // Raising again gives fresh defaults, not the old instance's value.
    node->setInt("count", 0, 0, 2);
    EXPECT_DOUBLE_EQ(node->evalFloat("val2", 0, 0), 0.5);

    node->setInt("count", 0, 0, -3);
    EXPECT_EQ(node->evalInt("count", 0, 0), 0);
    EXPECT_EQ(node->findParm("val1"), nullptr);
}

TEST_F(Parameters, InstanceTokensReplaceTheHashWithTheNumber) {
    int one = 1, zero = 0, twelve = 12;
    node->setFloat("t1", 1, 0, 4.5);
    node->setFloat("t0", 2, 0, -2.0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &one, 1, 0), 4.5);
    // Instance 0 is the plain parameter "t0".
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &zero, 2, 0), -2.0);
    node->setFloatInst(9.0, "val#", &one, 0, 0);
    EXPECT_DOUBLE_EQ(node->evalFloat("val1", 0, 0), 9.0);
    node->setInt("count", 0, 0, 12);
    node->setIntInst(1, "val#", &twelve, 0, 0);
    EXPECT_EQ(node->evalInt("val12", 0, 0), 1);
    // Without nesting the "#" stays and names nothing.
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &one, 1, 0, 0), 0.0);
}

TEST_F(Parameters, MissingTokensComponentsAndInstancesReadZeroAndIgnoreWrites) {
    int nine = 9, negative = -1;
    unsigned long before = node->getParmVersion();
    EXPECT_DOUBLE_EQ(node->evalFloat("nosuch", 0, 0), 0.0);
    EXPECT_EQ(node->evalInt("gain", 5, 0), 0);
    EXPECT_EQ(node->evalInt("gain", -1, 0), 0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("val#", &nine, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("val#", &negative, 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(node->evalFloat(nullptr, 0, 0), 0.0);
    node->setFloat("nosuch", 0, 0, 1.0);
    node->setFloat("gain", 3, 0, 1.0);
    node->setFloatInst(1.0, "val#", &nine, 0, 0);
    node->setFloat(nullptr, 0, 0, 1.0);
    EXPECT_EQ(node->enableParmInst("val#", &nine, 0), 0);
    EXPECT_EQ(node->getParmVersion(), before);
    // A very long token takes the slow path and still resolves to nothing.
    std::string longToken(300, 'x');
    longToken += "#";
    EXPECT_DOUBLE_EQ(node->evalFloatInst(longToken.c_str(), &nine, 0, 0), 0.0);
}

TEST_F(Parameters, ResolutionFollowsABufferRewrittenInPlace) {
    char token[8] = "val#";
    int one = 1;
    node->setFloat("val1", 0, 0, 4.0);
    node->setFloat("on1", 0, 0, 0.0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst(token, &one, 0, 0), 4.0);
    // Same pointer, same instance, other text: a different parameter.
    std::strcpy(token, "on#");
    EXPECT_DOUBLE_EQ(node->evalFloatInst(token, &one, 0, 0), 0.0);
    std::strcpy(token, "val#");
    EXPECT_DOUBLE_EQ(node->evalFloatInst(token, &one, 0, 0), 4.0);
    std::strcpy(token, "gain");
    EXPECT_DOUBLE_EQ(node->evalFloat(token, 0, 0), 1.0);
}

TEST_F(Parameters, ResolutionForgetsInstancesThatWereRemoved) {
    int two = 2;
    node->setFloat("val2", 0, 0, 7.0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("val#", &two, 0, 0), 7.0);
    node->setInt("count", 0, 0, 1);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("val#", &two, 0, 0), 0.0);
    node->setInt("count", 0, 0, 2);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("val#", &two, 0, 0), 0.5);
    node->setFloatInst(3.0, "val#", &two, 0, 0);
    EXPECT_DOUBLE_EQ(node->evalFloat("val2", 0, 0), 3.0);
}

// A read of a literal token that a node of the shape resolved before goes
// straight to the component: it must still see every change of the value
// and refuse a component the parameter does not have.
TEST_F(Parameters, RepeatedReadsOfALiteralTokenFollowTheValue) {
    int two = 2;
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &two, 2, 0), 3.0) << pass;
        EXPECT_EQ(node->evalIntInst("t#", &two, 1, 0), 2) << pass;
        EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &two, 3, 0), 0.0) << pass;
        EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &two, -1, 0), 0.0) << pass;
        EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0), 1.0) << pass;
        EXPECT_DOUBLE_EQ(node->evalFloat("gain", 1, 0), 0.0) << pass;
    }
    node->setFloatInst(7.0, "t#", &two, 2, 0);
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &two, 2, 0), 7.0);
    // Animated: the read follows the channel at the time asked for.
    ASSERT_TRUE(node->setKeyframes(node->findParmIndex("gain"), 0, {{0.0f, 0.0}, {1.0f, 4.0}}));
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.75f), 3.0);
    EXPECT_EQ(node->evalInt("gain", 0, 0.5f), 2);
    ASSERT_TRUE(node->setKeyframes(node->findParmIndex("gain"), 0, {}));
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.25f), 0.0);
    // Nested paths and nestLevel 0 resolve on their own; the remembered
    // "t#" with instance 2 is not taken for either.
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &two, 2, 0, 0), 0.0) << "\"t#\" itself: none";
    node->setFloat("t0", 2, 0, 6.0);
    int zero = 0;
    EXPECT_DOUBLE_EQ(node->evalFloatInst("t#", &zero, 2, 0), 6.0);
}

TEST_F(Parameters, EvalIntRoundsHalvesAwayFromZero) {
    // The largest double below a half rounds down; halves at the ends of
    // the range still step outwards.
    const double below = std::nextafter(0.5, 0.0);
    const double values[] = {2.4,          2.5,          -2.5,  -0.4,   1e30,
                             -1e30,        NAN,          below, -below, std::nextafter(7.5, 0.0),
                             2147483646.5, -2147483647.5};
    const int expected[] = {2, 3, -3, 0, INT32_MAX, INT32_MIN, 0, 0, 0, 7, INT32_MAX, INT32_MIN};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        node->setFloat("gain", 0, 0, values[i]);
        EXPECT_EQ(node->evalInt("gain", 0, 0), expected[i]) << values[i];
    }
}

TEST_F(Parameters, KeyframesInterpolateLinearlyAndHoldBeyondTheEnds) {
    int idx = node->findParmIndex("gain");
    ASSERT_TRUE(node->setKeyframes(idx, 0, {{2.0f, 5.0}, {0.0f, 1.0}}));
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, -1.0f), 1.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.5f), 2.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 2.0f), 5.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 10.0f), 5.0);
    EXPECT_TRUE(node->findParm("gain")->isAnimated());

    // A write at a key's time moves that key; elsewhere it adds one.
    node->setFloat("gain", 0, 2.0f, 3.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 2.0f), 3.0);
    node->setFloat("gain", 0, 1.0f, 0.0);
    EXPECT_EQ(node->findParm("gain")->component(0).keys.size(), 3u);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.5f), 0.5);

    // An empty channel turns the component back into its value at time 0.
    ASSERT_TRUE(node->setKeyframes(idx, 0, {}));
    EXPECT_FALSE(node->findParm("gain")->isAnimated());
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 7.0f), 1.0);
}

TEST_F(Parameters, WritesToConstantsSetTheConstantUnlessAKeyIsForced) {
    node->setFloat("gain", 0, 3.0f, 4.0);
    EXPECT_FALSE(node->findParm("gain")->isAnimated());
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.0f), 4.0);
    node->setFloat("gain", 0, 2.0f, 8.0, 1);
    ASSERT_TRUE(node->findParm("gain")->isAnimated());
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 0.0f), 8.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("gain", 0, 2.0f), 8.0);
}

TEST_F(Parameters, MultiCountsAndStringsCannotBeAnimated) {
    EXPECT_FALSE(node->setKeyframes(node->findParmIndex("count"), 0, {{0.0f, 3.0}}));
    EXPECT_FALSE(node->setKeyframes(node->findParmIndex("tags"), 0, {{0.0f, 3.0}}));
    EXPECT_FALSE(node->setKeyframes(node->findParmIndex("push"), 0, {{0.0f, 3.0}}));
    EXPECT_EQ(node->evalInt("count", 0, 0), 2);
}

TEST_F(Parameters, EnableStatesCountOnlyChanges) {
    int two = 2;
    EXPECT_TRUE(node->findParm("val2")->isEnabled());
    EXPECT_EQ(node->enableParmInst("val#", &two, 0, 1, -1), 1);
    EXPECT_FALSE(node->findParm("val2")->isEnabled());
    EXPECT_EQ(node->enableParmInst("val#", &two, 0, 1, -1), 0);
    EXPECT_EQ(node->enableParmInst("val#", &two, 1, 1, -1), 1);
    EXPECT_TRUE(node->findParm("val2")->isEnabled());
}

TEST_F(Parameters, VisibilityComesFromTheTemplate) {
    EXPECT_TRUE(node->findParm("val1")->isVisible());
    EXPECT_FALSE(node->findParm("hid1")->isVisible());
    EXPECT_TRUE(node->findParm("t")->isVisible());
}

TEST_F(Parameters, UserEditsRunTheCallbackAfterTheWriteThenRefresh) {
    int refreshes = node->refreshCount;
    ASSERT_TRUE(node->setParmByUser("gain", 0, 1.5f, 0.25));
    ASSERT_EQ(callbackLog().size(), 1u);
    EXPECT_EQ(callbackLog()[0].node, node);
    EXPECT_EQ(callbackLog()[0].index, node->findParmIndex("gain"));
    EXPECT_FLOAT_EQ(callbackLog()[0].time, 1.5f);
    EXPECT_EQ(callbackLog()[0].token, "gain");
    EXPECT_DOUBLE_EQ(callbackLog()[0].gainSeen, 0.25);
    EXPECT_EQ(node->refreshCount, refreshes + 1);

    // The refresh sees the new value: muting disables "gain".
    ASSERT_TRUE(node->setParmByUser("mute", 0, 0, 1));
    EXPECT_FALSE(node->findParm("gain")->isEnabled());
}

TEST_F(Parameters, PluginWritesNeverRunCallbacks) {
    int one = 1;
    node->setFloat("gain", 0, 0, 3.0);
    node->setFloatInst(2.0, "val#", &one, 0, 0);
    node->setIntInst(0, "val#", &one, 0, 0);
    EXPECT_TRUE(callbackLog().empty());
    EXPECT_EQ(node->refreshCount, 0);
}

TEST_F(Parameters, UserEditsOfAnInstanceHandOverTheInstanceTemplate) {
    ASSERT_TRUE(node->setParmByUser("val2", 0, 0, 1.0));
    ASSERT_EQ(callbackLog().size(), 1u);
    EXPECT_EQ(callbackLog()[0].token, "val2");
}

TEST_F(Parameters, UserEditsAreClampedAtRestrictedEndsButPluginWritesAreNot) {
    node->setParmByUser("clamped", 0, 0, 5.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("clamped", 0, 0), 1.0);
    node->setFloat("clamped", 0, 0, 5.0);
    EXPECT_DOUBLE_EQ(node->evalFloat("clamped", 0, 0), 5.0);
}

TEST_F(Parameters, UserEditsRefuseUnknownParametersAndButtons) {
    EXPECT_FALSE(node->setParmByUser("nosuch", 0, 0, 1.0));
    EXPECT_FALSE(node->setParmByUser("gain", 1, 0, 1.0));
    EXPECT_FALSE(node->setParmByUser("push", 0, 0, 1.0));
    EXPECT_FALSE(node->pressButton("gain", 0));
    EXPECT_FALSE(node->pressButton("nosuch", 0));
    EXPECT_TRUE(callbackLog().empty());
}

TEST_F(Parameters, PressingAnInstanceButtonHandsOverThatInstancesTemplate) {
    node->setInt("count", 0, 0, 3);
    ASSERT_TRUE(node->pressButton("btn3", 0.5f));
    ASSERT_TRUE(node->pressButton("push", 0.0f));
    ASSERT_EQ(callbackLog().size(), 2u);
    EXPECT_EQ(callbackLog()[0].token, "btn3");
    EXPECT_EQ(callbackLog()[0].index, node->findParmIndex("btn3"));
    EXPECT_FLOAT_EQ(callbackLog()[0].time, 0.5f);
    EXPECT_EQ(callbackLog()[1].token, "push");
}

TEST_F(Parameters, StringsHoldText) {
    ASSERT_TRUE(node->setStringByUser("tags", 0, 0, "hero rig"));
    EXPECT_EQ(node->evalString("tags", 0, 0), "hero rig");
    EXPECT_FALSE(node->setStringByUser("gain", 0, 0, "x"));
    EXPECT_DOUBLE_EQ(node->evalFloat("tags", 0, 0), 0.0);
}

TEST(Names, HardenedNamesOwnTheirStrings) {
    std::string token = "abc", label = "Label";
    PRM_Name name(token.c_str(), label.c_str(), 7);
    name.harden();
    token = "zzz";
    label = "Other";
    EXPECT_STREQ(name.getToken(), "abc");
    EXPECT_STREQ(name.getLabel(), "Label");
    EXPECT_EQ(name.getFlags(), 7);
    PRM_Name copy = name;
    EXPECT_STREQ(copy.getToken(), "abc");
    EXPECT_NE(copy.getToken(), name.getToken());
}

TEST(Templates, CountStopsAtTheTerminatorAndHonoursItsFilters) {
    PRM_Name a("a"), b("b"), c("c");
    PRM_Template list[] = {
        PRM_Template(PRM_FLT, 1, &a),
        PRM_Template(PRM_Type(PRM_FLT.basicWord(), PRM_TYPE_INVISIBLE.optionWord()), 1, &b),
        PRM_Template(PRM_SEPARATOR, 1, &c),
        PRM_Template(),
        PRM_Template(PRM_FLT, 1, &a),
    };
    EXPECT_EQ(PRM_Template::countTemplates(list), 3);
    EXPECT_EQ(PRM_Template::countTemplates(list, true), 2);
    EXPECT_EQ(PRM_Template::countTemplates(list, true, true), 1);
    EXPECT_EQ(PRM_Template::countTemplates(list + 3), 0);
}

} // namespace
