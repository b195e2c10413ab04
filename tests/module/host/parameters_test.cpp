// The parameters a quenlo node shows and keeps, as the host builds them.
#include "QuenloHost.h"

#include "PRM/PRM_Shared.h"

#include <cstring>

namespace {

using quenlo_test::QuenloScene;

struct ParmRow {
    const char* token;
    const char* label;
    const char* kind; // PRM_Type::describe()
    int size;
    double defaultValue; // every component
    bool visible;
    bool callback;
};

// The own parameters in list order, then the first key instance.
const ParmRow ownRows[] = {
    {"sep2", "Sep", "separator", 1, 0, true, false},
    {"interp", "Interp Type", "int", 1, 0, true, false},
    {"ease", "Ease", "toggle", 1, 0, true, false},
    {"driverval", "Driver val", "float", 1, 0, true, false},
    {"sep0", "Sep", "separator", 1, 0, true, false},
    {"keyval0", "Driver key 0", "float", 1, 0, true, false},
    {"getkey0", "Get key 0", "button", 1, 0, true, true},
    {"xOrd0", "Transform Order", "int", 1, 0, true, false},
    {"rOrd0", "Rotate Order", "int", 1, 0, true, false},
    {"t0", "Translate", "float", 3, 0, true, false},
    {"r0", "Rotate", "float", 3, 0, true, false},
    {"s0", "Scale", "float", 3, 1, true, false},
    {"pivot0", "Pivot", "float", 3, 0, true, false},
    {"scale0", "Uniform scale", "float", 1, 1, true, false},
    {"reset0", "Reset transform", "button", 1, 0, true, true},
    {"putkey0", "Put key 0", "button", 1, 0, true, true},
    {"sep1", "Sep", "separator", 1, 0, true, false},
    {"numkeys", "Number of key positions", "int", 1, 1, true, false},
    {"enable1", "Enable key", "toggle", 1, 1, true, false},
    {"keyval1", "Driver key 1", "float", 1, 0, true, true},
    {"getkey1", "Get key 1", "button", 1, 0, true, true},
    {"xOrd1", "Transform Order", "int", 1, 0, false, false},
    {"rOrd1", "Rotate Order", "int", 1, 0, false, false},
    {"t1", "Translate", "float", 3, 0, true, false},
    {"r1", "Rotate", "float", 3, 0, true, false},
    {"s1", "Scale", "float", 3, 1, true, false},
    {"pivot1", "Pivot", "float", 3, 0, true, false},
    {"scale1", "Uniform scale", "float", 1, 1, true, false},
    {"reset1", "Reset transform", "button", 1, 0, true, true},
    {"putkey1", "Put key 1", "button", 1, 0, true, true},
};

TEST_F(QuenloScene, OwnParametersFollowTheInheritedOnesInOrder) {
    const int first = q->findParmIndex("sep2");
    ASSERT_GE(first, 0);
    // The inherited list comes first and ends with the node's folder.
    EXPECT_STREQ(q->getParm(first - 1)->getToken(), "quenloswitcher");
    EXPECT_EQ(q->findParm("stdswitcher"), nullptr);
    int index = first;
    for (const ParmRow& row : ownRows) {
        SCOPED_TRACE(row.token);
        const PRM_Parm* parm = q->getParm(index++);
        ASSERT_NE(parm, nullptr);
        EXPECT_STREQ(parm->getToken(), row.token);
        EXPECT_STREQ(parm->getLabel(), row.label);
        EXPECT_STREQ(parm->getType().describe(), row.kind);
        EXPECT_EQ(parm->getVectorSize(), row.size);
        EXPECT_EQ(parm->isVisible(), row.visible);
        EXPECT_EQ(parm->getTemplate().getCallback() != nullptr, row.callback);
        if (parm->getType().holdsValue()) {
            for (int c = 0; c < row.size; ++c)
                EXPECT_EQ(parm->component(c).valueAt(0.0f), row.defaultValue) << c;
        }
    }
    EXPECT_EQ(index, q->getParmCount()) << "one key instance and nothing else";
}

TEST_F(QuenloScene, MenusOfTheOptionsAndOrders) {
    const PRM_ChoiceList* interp = q->findParm("interp")->getTemplate().getChoiceListPtr();
    ASSERT_NE(interp, nullptr);
    EXPECT_EQ(static_cast<int>(interp->getType()), 0x1001);
    ASSERT_EQ(interp->getCount(), 2);
    EXPECT_STREQ(interp->getItem(0)->getToken(), "euler");
    EXPECT_STREQ(interp->getItem(0)->getLabel(), "Euler");
    EXPECT_STREQ(interp->getItem(1)->getToken(), "quat");
    EXPECT_STREQ(interp->getItem(1)->getLabel(), "Quaternion");
    for (const char* token : {"xOrd0", "xOrd1"})
        EXPECT_EQ(q->findParm(token)->getTemplate().getChoiceListPtr(), &PRMtrsMenu) << token;
    for (const char* token : {"rOrd0", "rOrd1"})
        EXPECT_EQ(q->findParm(token)->getTemplate().getChoiceListPtr(), &PRMxyzMenu) << token;
}

TEST_F(QuenloScene, RaisingNumkeysAddsEnabledIdentityKeys) {
    edit("numkeys", 3);
    for (int i = 2; i <= 3; ++i) {
        const std::string n = std::to_string(i);
        SCOPED_TRACE(n);
        EXPECT_EQ(value("enable" + n), 1.0);
        EXPECT_EQ(value("keyval" + n), 0.0);
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(value("t" + n, c), 0.0);
            EXPECT_EQ(value("r" + n, c), 0.0);
            EXPECT_EQ(value("s" + n, c), 1.0);
            EXPECT_EQ(value("pivot" + n, c), 0.0);
        }
        EXPECT_EQ(value("scale" + n), 1.0);
        EXPECT_FALSE(q->findParm("xOrd" + n)->isVisible());
        EXPECT_FALSE(q->findParm("rOrd" + n)->isVisible());
    }
    EXPECT_EQ(q->findParm("enable4"), nullptr);
}

TEST_F(QuenloScene, InheritedParametersAreHiddenByExactToken) {
    for (const char* token : {"t", "r", "s", "p", "scale", "xOrd", "rOrd", "display", "tdisplay"})
        EXPECT_FALSE(q->findParm(token)->isVisible()) << token;
    // Longer tokens that begin with a hidden one stay visible.
    for (const char* token : {"tags", "scalehandles", "picking", "dcolor"})
        EXPECT_TRUE(q->findParm(token)->isVisible()) << token;
    // The toggle beside "display" has no label of its own.
    EXPECT_STREQ(q->findParm("tdisplay")->getLabel(), "tdisplay");
    EXPECT_STREQ(q->findParm("scale")->getLabel(), "Uniform Scale");
}

} // namespace
