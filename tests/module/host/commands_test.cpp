// Get key, Put key and Reset transform, pressed through the host.
#include "QuenloHost.h"

namespace {

using quenlo_test::QuenloScene;
using quenlo_test::Vec3;

constexpr char xformWarning[] = "Transform order doesn't match quenlo object";
constexpr char rotateWarning[] = "Rotate order doesn't match quenlo object";
constexpr char noDummyWarning[] = "Key dummy is not connected";

using Warnings = std::vector<std::string>;

class KeyCommands : public QuenloScene {
protected:
    void poseDummy(Vec3 t, Vec3 r, Vec3 s, Vec3 p, double scale, float time = 0.0f) {
        for (int i = 0; i < 3; ++i) {
            dummy->setFloat("t", i, time, t[i]);
            dummy->setFloat("r", i, time, r[i]);
            dummy->setFloat("s", i, time, s[i]);
            dummy->setFloat("p", i, time, p[i]);
        }
        dummy->setFloat("scale", 0, time, scale);
    }
    void setDummyOrders(int xOrd, int rOrd) {
        dummy->setFloat("xOrd", 0, 0.0f, xOrd);
        dummy->setFloat("rOrd", 0, 0.0f, rOrd);
    }
    Vec3 keyVector(const std::string& token) const {
        return {value(token, 0), value(token, 1), value(token, 2)};
    }
    Vec3 dummyVector(const char* token) const {
        return {dummy->evalFloat(token, 0, 0.0f), dummy->evalFloat(token, 1, 0.0f),
                dummy->evalFloat(token, 2, 0.0f)};
    }
    void expectKeyPose(int n, Vec3 t, Vec3 r, Vec3 s, Vec3 p, double scale) const {
        const std::string k = std::to_string(n);
        EXPECT_EQ(keyVector("t" + k), t);
        EXPECT_EQ(keyVector("r" + k), r);
        EXPECT_EQ(keyVector("s" + k), s);
        EXPECT_EQ(keyVector("pivot" + k), p);
        EXPECT_EQ(value("scale" + k), scale);
    }
};

TEST_F(KeyCommands, GetKeyCapturesTheDummyAndTheDriverValue) {
    poseDummy({1, 2, 3}, {10, 20, 30}, {2, 3, 4}, {0.5, 0.25, 0.125}, 1.5);
    edit("driverval", 7);
    press("getkey0");
    expectKeyPose(0, {1, 2, 3}, {10, 20, 30}, {2, 3, 4}, {0.5, 0.25, 0.125}, 1.5);
    EXPECT_EQ(value("keyval0"), 7);
    EXPECT_TRUE(warnings().empty());

    edit("numkeys", 3);
    poseDummy({4, 5, 6}, {0, 90, 0}, {1, 1, 1}, {0, 0, 0}, 2);
    edit("driverval", 9);
    press("getkey2");
    expectKeyPose(2, {4, 5, 6}, {0, 90, 0}, {1, 1, 1}, {0, 0, 0}, 2);
    EXPECT_EQ(value("keyval2"), 9);
    // The other keys are untouched.
    expectKeyPose(1, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    expectKeyPose(3, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    EXPECT_EQ(value("keyval0"), 7);
}

TEST_F(KeyCommands, GetKeyTakesEffectAtTheCurrentDriverValue) {
    edit("numkeys", 2);
    edit("driverval", 10);
    poseDummy({5, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    press("getkey2");
    edit("driverval", 5);
    EXPECT_NEAR(translationAt()[0], 2.5, 1e-6);
}

TEST_F(KeyCommands, GetKeyOnADisabledKeyStoresButDoesNotActivate) {
    edit("keyval1", 10);
    edit("t1", 8);
    edit("enable1", 0);
    edit("driverval", 4);
    poseDummy({6, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    press("getkey1");
    EXPECT_EQ(value("t1"), 6);
    EXPECT_EQ(value("keyval1"), 4);
    EXPECT_NEAR(translationAt()[0], 0.0, 1e-9);
    edit("enable1", 1);
    EXPECT_NEAR(translationAt()[0], 6.0, 1e-6);
}

TEST_F(KeyCommands, GetKeyReadsAnAnimatedDummyAtThePressTime) {
    ASSERT_TRUE(dummy->setKeyframes(dummy->findParmIndex("t"), 0, {{0.0f, 0.0}, {10.0f, 10.0}}));
    ASSERT_TRUE(q->setKeyframes(q->findParmIndex("driverval"), 0, {{0.0f, 0.0}, {10.0f, 20.0}}));
    press("getkey1", 5.0f);
    EXPECT_EQ(value("t1"), 5);
    EXPECT_EQ(value("keyval1"), 10);
    // Stored as a constant: the same at every time.
    EXPECT_FALSE(q->findParm("t1")->isAnimated());
}

TEST_F(KeyCommands, TransformOrderMismatchIsWarnedAndRepeated) {
    setDummyOrders(1, 0);
    poseDummy({1, 2, 3}, {0, 0, 45}, {1, 1, 1}, {0, 0, 0}, 1);
    press("getkey1");
    EXPECT_EQ(warnings(), Warnings{xformWarning});
    // Stored as read, in key 0's orders.
    expectKeyPose(1, {1, 2, 3}, {0, 0, 45}, {1, 1, 1}, {0, 0, 0}, 1);
    EXPECT_EQ(value("xOrd1"), 0);
    EXPECT_EQ(value("xOrd0"), 0);
    for (float time : {0.0f, 1.0f, 2.0f}) {
        cookAt(time);
        EXPECT_EQ(warnings(), Warnings{xformWarning}) << time;
    }
}

TEST_F(KeyCommands, RotateOrderMismatchIsWarnedAndRepeated) {
    setDummyOrders(0, 5);
    press("getkey0");
    EXPECT_EQ(warnings(), Warnings{rotateWarning});
    EXPECT_EQ(value("rOrd0"), 0);
    cookAt(1.0f);
    EXPECT_EQ(warnings(), Warnings{rotateWarning});
}

TEST_F(KeyCommands, BothMismatchesWarnTwiceThenRepeatTheRotateOne) {
    setDummyOrders(3, 2);
    press("getkey1");
    EXPECT_EQ(warnings(), (Warnings{xformWarning, rotateWarning}));
    cookAt(1.0f);
    EXPECT_EQ(warnings(), Warnings{rotateWarning});
}

TEST_F(KeyCommands, APressMakesTheNextCookRepeatTheMismatch) {
    setDummyOrders(0, 4);
    press("getkey1");
    cookAt(0.0f);
    ASSERT_EQ(warnings(), Warnings{rotateWarning});
    // A user's press starts from a clear list; Put key leaves the node
    // unchanged, yet the cook that follows at the same time reports the
    // mismatch.
    q->clearErrors();
    press("putkey1");
    EXPECT_TRUE(warnings().empty());
    cookAt(0.0f);
    EXPECT_EQ(warnings(), Warnings{rotateWarning});
}

TEST_F(KeyCommands, MatchingGetKeyClearsTheMismatch) {
    setDummyOrders(2, 0);
    press("getkey1");
    cookAt(1.0f);
    ASSERT_EQ(warnings(), Warnings{xformWarning});
    setDummyOrders(0, 0);
    press("getkey1");
    cookAt(2.0f);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(KeyCommands, MismatchWarningDoesNotStopTheTransform) {
    setDummyOrders(4, 4);
    poseDummy({2, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    press("getkey0");
    EXPECT_NEAR(translationAt(1.0f)[0], 2.0, 1e-9);
    EXPECT_EQ(q->getLastXformResult(), 1);
}

TEST_F(KeyCommands, CapturedOrdersAreKeyZerosAndStoredInTheKey) {
    edit("xOrd0", 3);
    edit("rOrd0", 4);
    setDummyOrders(3, 1);
    press("getkey1");
    EXPECT_EQ(value("xOrd1"), 3);
    EXPECT_EQ(value("rOrd1"), 4);
    // Put key poses the dummy in the captured orders.
    setDummyOrders(0, 0);
    press("putkey1");
    EXPECT_EQ(dummy->evalInt("xOrd", 0, 0.0f), 3);
    EXPECT_EQ(dummy->evalInt("rOrd", 0, 0.0f), 4);
}

TEST_F(KeyCommands, PutKeyPosesTheDummy) {
    edit("numkeys", 2);
    editVector("t2", {1, 2, 3});
    editVector("r2", {15, 25, 35});
    editVector("s2", {2, 2, 3});
    editVector("pivot2", {0.5, 0, -0.5});
    edit("scale2", 0.75);
    edit("xOrd2", 4);
    edit("rOrd2", 2);
    const auto versionBefore = q->getParmVersion();
    press("putkey2", 3.0f);
    EXPECT_EQ(dummyVector("t"), (Vec3{1, 2, 3}));
    EXPECT_EQ(dummyVector("r"), (Vec3{15, 25, 35}));
    EXPECT_EQ(dummyVector("s"), (Vec3{2, 2, 3}));
    EXPECT_EQ(dummyVector("p"), (Vec3{0.5, 0, -0.5}));
    EXPECT_EQ(dummy->evalFloat("scale", 0, 0.0f), 0.75);
    EXPECT_EQ(dummy->evalInt("xOrd", 0, 0.0f), 4);
    EXPECT_EQ(dummy->evalInt("rOrd", 0, 0.0f), 2);
    EXPECT_EQ(q->getParmVersion(), versionBefore) << "Put key changes nothing on the node";
}

TEST_F(KeyCommands, PutKeyOfKeyZeroGivesTheDummyKeyZerosOrders) {
    edit("xOrd0", 5);
    edit("rOrd0", 3);
    editVector("t0", {9, 8, 7});
    press("putkey0");
    EXPECT_EQ(dummy->evalInt("xOrd", 0, 0.0f), 5);
    EXPECT_EQ(dummy->evalInt("rOrd", 0, 0.0f), 3);
    EXPECT_EQ(dummyVector("t"), (Vec3{9, 8, 7}));
}

TEST_F(KeyCommands, PutThenGetRoundTripsTheKey) {
    editVector("t1", {1.25, -2, 3});
    editVector("r1", {10, 0, -80});
    editVector("s1", {1, 2, 1});
    editVector("pivot1", {0, 1, 0});
    edit("scale1", 3);
    edit("keyval1", 2);
    edit("driverval", 6);
    press("putkey1");
    press("getkey1");
    expectKeyPose(1, {1.25, -2, 3}, {10, 0, -80}, {1, 2, 1}, {0, 1, 0}, 3);
    EXPECT_EQ(value("keyval1"), 6);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(KeyCommands, ResetReturnsTheKeyToIdentityAndKeepsItsValue) {
    edit("xOrd0", 2);
    edit("rOrd0", 5);
    editVector("t0", {1, 1, 1});
    editVector("r0", {5, 5, 5});
    editVector("s0", {3, 3, 3});
    editVector("pivot0", {2, 2, 2});
    edit("scale0", 4);
    edit("keyval0", -3);
    edit("keyval1", 10);
    editVector("t1", {4, 0, 0});
    press("reset0");
    expectKeyPose(0, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    EXPECT_EQ(value("xOrd0"), 0);
    EXPECT_EQ(value("rOrd0"), 0);
    EXPECT_EQ(value("keyval0"), -3);

    press("reset1");
    expectKeyPose(1, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {0, 0, 0}, 1);
    EXPECT_EQ(value("keyval1"), 10);
    EXPECT_EQ(value("enable1"), 1);
    edit("driverval", 10);
    EXPECT_TRUE(quenlo_test::matrixNear(cookAt(), UT_DMatrix4()));
}

TEST_F(KeyCommands, WithoutADummyNothingIsReadOrWritten) {
    ASSERT_TRUE(q->setInput(1, nullptr));
    editVector("t1", {1, 2, 3});
    edit("keyval1", 4);
    edit("driverval", 8);
    const auto versionBefore = q->getParmVersion();
    press("getkey1");
    EXPECT_EQ(warnings(), Warnings{noDummyWarning});
    press("putkey1");
    EXPECT_EQ(warnings(), Warnings{noDummyWarning});
    EXPECT_EQ(q->getParmVersion(), versionBefore);
    EXPECT_EQ(value("keyval1"), 4);
    EXPECT_EQ(keyVector("t1"), (Vec3{1, 2, 3}));
}

} // namespace
