// Networks, nodes, errors, cooking and the host's object templates.
#include "test_types.h"

#include <OP_CookRun.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using hosttest::TestObject;

namespace {

class Nodes : public ::testing::Test {
protected:
    void SetUp() override {
        OBJinstallHostOperators(table);
        hosttest::registerTestType(table);
    }
    OBJ_Node* make(const char* type, const char* name = nullptr) {
        return dynamic_cast<OBJ_Node*>(net.createNode(type, name));
    }
    OP_OperatorTable table;
    OP_Network net{&table};
};

TEST_F(Nodes, NetworksGiveEveryChildAUniqueName) {
    EXPECT_STREQ(make("null")->getName(), "null");
    EXPECT_STREQ(make("null")->getName(), "null1");
    EXPECT_STREQ(make("null", "q2")->getName(), "q2");
    EXPECT_STREQ(make("null", "q2")->getName(), "q1");
    EXPECT_STREQ(make("null", "q2")->getName(), "q3");
    EXPECT_EQ(net.getNchildren(), 5);
    EXPECT_EQ(net.createNode("nosuchtype", "x"), nullptr);
    EXPECT_EQ(net.findNode("x"), nullptr);
}

TEST_F(Nodes, DestroyingANodeUnwiresItsUsers) {
    OBJ_Node* parent = make("null", "parent");
    OBJ_Node* child = make("testobj", "child");
    ASSERT_TRUE(child->setInput(0, parent));
    EXPECT_TRUE(net.destroyNode(parent));
    EXPECT_EQ(child->getInput(0), nullptr);
    EXPECT_EQ(net.findNode("parent"), nullptr);
    EXPECT_FALSE(net.destroyNode(parent));
}

TEST_F(Nodes, WiresThatWouldMakeACycleAreRefused) {
    OBJ_Node* a = make("testobj", "a");
    OBJ_Node* b = make("testobj", "b");
    OBJ_Node* c = make("testobj", "c");
    ASSERT_TRUE(b->setInput(0, a));
    ASSERT_TRUE(c->setInput(1, b));
    EXPECT_FALSE(a->setInput(0, c));
    EXPECT_FALSE(a->setInput(1, a));
    EXPECT_EQ(a->getInput(0), nullptr);
    EXPECT_FALSE(a->setInput(2, b)); // testobj has two inputs
    EXPECT_EQ(a->getInput(7), nullptr);
    EXPECT_TRUE(c->setInput(1, nullptr));
    EXPECT_EQ(c->getInput(1), nullptr);
}

TEST_F(Nodes, ACycleCheckVisitsSharedAncestorsOnce) {
    // Each node takes the one before it into both inputs: 2^80 paths lead
    // from the last node to the first, but only 80 nodes.
    std::vector<OBJ_Node*> chain{make("testobj")};
    for (int i = 1; i < 80; ++i) {
        chain.push_back(make("testobj"));
        ASSERT_TRUE(chain[i]->setInput(0, chain[i - 1]));
        ASSERT_TRUE(chain[i]->setInput(1, chain[i - 1]));
    }
    EXPECT_FALSE(chain.front()->setInput(0, chain.back()));
    EXPECT_TRUE(chain.back()->dependsOn(chain.front()));
    EXPECT_FALSE(chain.front()->dependsOn(chain.back()));
}

TEST_F(Nodes, AFreedNumberIsTheNextOneGiven) {
    for (int i = 0; i < 5; ++i)
        make("null", "q");
    EXPECT_NE(net.findNode("q4"), nullptr);
    ASSERT_TRUE(net.destroyNode(net.findNode("q2")));
    EXPECT_EQ(net.findNode("q2"), nullptr);
    EXPECT_STREQ(make("null", "q")->getName(), "q2");
    EXPECT_STREQ(make("null", "q")->getName(), "q5");
    // A name chosen by the user is skipped over, not reused.
    make("null", "q6");
    EXPECT_STREQ(make("null", "q")->getName(), "q7");
}

TEST_F(Nodes, ARenamedNodeKeepsItsWiringAndFreesItsOldName) {
    OBJ_Node* parent = make("null", "q1");
    OBJ_Node* child = make("testobj", "child");
    ASSERT_TRUE(child->setInput(0, parent));
    ASSERT_TRUE(net.renameNode(parent, "root"));
    EXPECT_STREQ(parent->getName(), "root");
    EXPECT_EQ(net.findNode("root"), parent);
    EXPECT_EQ(net.findNode("q1"), nullptr);
    EXPECT_EQ(child->getInput(0), parent);
    EXPECT_EQ(net.getChild(0), parent); // its place is kept
    EXPECT_STREQ(make("null", "q1")->getName(), "q1");
    // Refused: a taken name, an empty one, a node that is not a child of this
    // network.
    EXPECT_FALSE(net.renameNode(parent, "child"));
    EXPECT_FALSE(net.renameNode(parent, ""));
    OP_Network other{&table};
    OP_Node* stranger = other.createNode("null", "s");
    EXPECT_FALSE(net.renameNode(stranger, "s2"));
    EXPECT_STREQ(parent->getName(), "root");
    EXPECT_TRUE(net.renameNode(parent, "root")); // its own name: nothing to do
}

TEST_F(Nodes, InputsAreLabelled) {
    OBJ_Node* a = make("testobj");
    EXPECT_STREQ(a->labelForInput(0), "Parent");
    EXPECT_STREQ(a->labelForInput(1), "Input 2");
    EXPECT_STREQ(a->outputLabel(0), "Output 1");
}

TEST_F(Nodes, ErrorSeverityIsTheHighestEntryAndWarningsAreKeptOnce) {
    OBJ_Node* a = make("null");
    EXPECT_EQ(a->error(), UT_ERROR_NONE);
    a->addError(UT_ERROR_MESSAGE, 1, "note");
    EXPECT_EQ(a->error(), 1);
    a->addWarning(OBJ_WARNING_GENERIC, "careful");
    a->addWarning(OBJ_WARNING_GENERIC, "careful");
    a->addWarning(OBJ_WARNING_GENERIC, "other");
    EXPECT_EQ(a->error(), 3);
    ASSERT_EQ(a->getErrors().size(), 3u);
    EXPECT_EQ(a->getErrors()[1].code, 10);
    EXPECT_EQ(a->getErrors()[1].severity, UT_ERROR_WARNING);
    a->addError(UT_ERROR_FATAL, 0, "dead");
    EXPECT_EQ(a->error(), 5);
    a->addWarning(OBJ_ERR_PARM_RANGE);
    EXPECT_EQ(a->getErrors().back().message, OBJgetErrorText(OBJ_ERR_PARM_RANGE));
}

TEST_F(Nodes, ACookStartsWithAnEmptyErrorList) {
    OBJ_Node* a = make("null");
    a->addWarning(OBJ_WARNING_GENERIC, "stale");
    OP_Context ctx(0.0f);
    EXPECT_EQ(a->cook(ctx), UT_ERROR_NONE);
    EXPECT_TRUE(a->getErrors().empty());
}

TEST_F(Nodes, TheBaseTransformUsesTheObjectsParametersAndMenus) {
    OBJ_Node* a = make("null");
    a->setFloat("t", 0, 0, 1.0);
    a->setFloat("t", 1, 0, 2.0);
    a->setFloat("t", 2, 0, 3.0);
    a->setFloat("r", 2, 0, 90.0);
    a->setFloat("s", 0, 0, 2.0);
    a->setFloat("scale", 0, 0, 3.0);
    OP_Context ctx(0.0f);
    a->cook(ctx);
    // Default order: scale, rotate, translate. (1,0,0) scales to (6,0,0),
    // turns to (0,6,0) and moves to (1,8,3).
    double p[3] = {1, 0, 0}, out[3];
    a->getLocalTransform().transformPoint(p, out);
    EXPECT_NEAR(out[0], 1.0, 1e-12);
    EXPECT_NEAR(out[1], 8.0, 1e-12);
    EXPECT_NEAR(out[2], 3.0, 1e-12);

    // Menu index 5 ("Trans Rot Scale") translates first.
    a->setFloat("xOrd", 0, 0, 5);
    a->cook(ctx);
    a->getLocalTransform().transformPoint(p, out);
    // (2,2,3) turns to (-2,2,3) and scales by (6,3,3): (-12,6,9).
    EXPECT_NEAR(out[0], -12.0, 1e-12);
    EXPECT_NEAR(out[1], 6.0, 1e-12);
    EXPECT_NEAR(out[2], 9.0, 1e-12);
}

// An identity pose is remembered until the next change of the node's
// parameters: the change must show in the very next evaluation.
TEST_F(Nodes, TheBaseTransformFollowsEveryChangeAfterAnIdentityPose) {
    OBJ_Node* a = make("null");
    OP_Context ctx(0.0f);
    for (int pass = 0; pass < 2; ++pass) {
        UT_DMatrix4 m;
        EXPECT_EQ(a->applyInputIndependentTransform(ctx, m), 0);
        EXPECT_EQ(m, UT_DMatrix4());
    }
    a->setFloat("t", 1, 0, 2.0);
    UT_DMatrix4 moved;
    EXPECT_EQ(a->applyInputIndependentTransform(ctx, moved), 0);
    EXPECT_DOUBLE_EQ(moved(3, 1), 2.0);
    a->setFloat("t", 1, 0, 0.0);
    UT_DMatrix4 back;
    a->applyInputIndependentTransform(ctx, back);
    EXPECT_EQ(back, UT_DMatrix4());
    // A channel that holds the identity at time 0 is still time-dependent.
    a->setKeyframes(a->findParmIndex("r"), 2, {{0.0f, 0.0}, {1.0f, 90.0}});
    UT_DMatrix4 keyed;
    EXPECT_EQ(a->applyInputIndependentTransform(ctx, keyed), 1);
    EXPECT_EQ(keyed, UT_DMatrix4());
    OP_Context later(1.0f);
    EXPECT_EQ(a->applyInputIndependentTransform(later, keyed), 1);
    EXPECT_NEAR(keyed(0, 1), 1.0, 1e-12);
    // A non-finite value is reported at every evaluation, not just the first.
    a->setKeyframes(a->findParmIndex("r"), 2, {});
    a->setFloat("s", 0, 0, NAN);
    EXPECT_EQ(a->cook(ctx), UT_ERROR_ABORT);
    a->forceRecook();
    EXPECT_EQ(a->cook(ctx), UT_ERROR_ABORT);
}

TEST_F(Nodes, WorldIsLocalTimesTheParentsWorld) {
    OBJ_Node* parent = make("null", "parent");
    OBJ_Node* child = make("null", "child");
    child->setInput(0, parent);
    parent->setFloat("r", 2, 0, 90.0);
    child->setFloat("t", 0, 0, 1.0);
    OP_Context ctx(0.0f);
    child->cook(ctx);
    double origin[3] = {0, 0, 0}, out[3];
    child->getWorldTransform().transformPoint(origin, out);
    EXPECT_NEAR(out[0], 0.0, 1e-12);
    EXPECT_NEAR(out[1], 1.0, 1e-12);
    EXPECT_EQ(child->getWorldTransform(), child->getLocalTransform() * parent->getWorldTransform());
}

TEST_F(Nodes, NonFiniteTransformValuesAbortTheCook) {
    OBJ_Node* a = make("null");
    a->setFloat("r", 1, 0, NAN);
    OP_Context ctx(0.0f);
    EXPECT_EQ(a->cook(ctx), UT_ERROR_ABORT);
    ASSERT_EQ(a->getErrors().size(), 1u);
    EXPECT_EQ(a->getErrors()[0].code, OBJ_ERR_BAD_XFORM);
    EXPECT_EQ(a->getLocalTransform(), UT_DMatrix4());
}

TEST_F(Nodes, AWorldTransformThatOverflowsAbortsTheCook) {
    // Each local is finite; their product is not.
    OBJ_Node* parent = make("null", "parent");
    OBJ_Node* child = make("null", "child");
    ASSERT_TRUE(child->setInput(0, parent));
    for (OBJ_Node* n : {parent, child})
        for (int c = 0; c < 3; ++c)
            n->setFloat("s", c, 0, 1e200);
    OP_Context ctx(0.0f);
    EXPECT_EQ(parent->cook(ctx), UT_ERROR_NONE);
    EXPECT_EQ(child->cook(ctx), UT_ERROR_ABORT);
    ASSERT_EQ(child->getErrors().size(), 1u);
    EXPECT_EQ(child->getErrors()[0].message, "The world transform is not a finite number");
    EXPECT_EQ(child->getWorldTransform(), UT_DMatrix4());
}

TEST_F(Nodes, ALocalThatOverflowsUnderAParentFailsAloneAndKeepsTheParentsWorld) {
    // Each value is finite; the scale times the uniform scale is not.
    OBJ_Node* parent = make("null", "parent");
    OBJ_Node* child = make("null", "child");
    ASSERT_TRUE(child->setInput(0, parent));
    parent->setFloat("t", 1, 0, 2.0);
    child->setFloat("s", 0, 0, 1e200);
    child->setFloat("scale", 0, 0, 1e200);
    OP_Context ctx(0.0f);
    EXPECT_EQ(parent->cook(ctx), UT_ERROR_NONE);
    EXPECT_EQ(child->cook(ctx), UT_ERROR_ABORT);
    ASSERT_EQ(child->getErrors().size(), 1u);
    EXPECT_EQ(child->getErrors()[0].message, "The local transform is not a finite number");
    EXPECT_EQ(child->getLocalTransform(), UT_DMatrix4());
    EXPECT_EQ(child->getWorldTransform(), parent->getWorldTransform());
}

TEST_F(Nodes, OnlyTimeDependentNodesRecookWhenTheTimeChanges) {
    OBJ_Node* still = make("null", "still");
    OBJ_Node* moving = make("null", "moving");
    moving->setKeyframes(moving->findParmIndex("t"), 0, {{0.0f, 0.0}, {1.0f, 10.0}});
    OP_Context t0(0.0f), t1(1.0f);
    still->cook(t0);
    moving->cook(t0);
    EXPECT_EQ(still->flags().timeDependent, 0);
    EXPECT_EQ(moving->flags().timeDependent, 1);
    EXPECT_EQ(moving->getLastXformResult(), 1);
    still->cook(t1);
    moving->cook(t1);
    EXPECT_EQ(still->getCookCount(), 1);
    EXPECT_EQ(moving->getCookCount(), 2);
    EXPECT_DOUBLE_EQ(moving->getLocalTransform()(3, 0), 10.0);
    // A parameter change recooks even at the same time.
    still->setFloat("t", 0, 0, 2.0);
    still->cook(t1);
    EXPECT_EQ(still->getCookCount(), 2);
    // A parent that moves drags its child along.
    still->setInput(0, moving);
    still->cook(t0);
    EXPECT_DOUBLE_EQ(still->getWorldTransform()(3, 0), 2.0);
    still->cook(t1);
    EXPECT_DOUBLE_EQ(still->getWorldTransform()(3, 0), 12.0);
}

// Runs work on a thread of its own with a stack of `bytes`.
template <typename Work> void runOnStackOf(std::size_t bytes, Work& work) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, bytes), 0);
    pthread_t thread;
    const auto run = [](void* w) -> void* {
        (*static_cast<Work*>(w))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

// A chain of parents much longer than a small stack would hold as a
// recursion up the chain cooks top down, each world the chain's product
// above it; after an edit halfway, only that node and those below recook.
TEST_F(Nodes, ALongParentChainCooksWithinASmallStack) {
    constexpr int kChain = 8000;
    std::vector<OBJ_Node*> chain;
    for (int i = 0; i < kChain; ++i) {
        chain.push_back(make("null"));
        chain.back()->setFloat("t", 0, 0, 1.0);
        if (i > 0) {
            ASSERT_TRUE(chain.back()->setInput(0, chain[i - 1]));
        }
    }
    OP_ERROR result = UT_ERROR_ABORT;
    auto cookLast = [&] {
        OP_Context context(0.0f);
        result = chain.back()->cook(context);
    };
    // 128 KiB: far less than a recursion up 8,000 parents takes.
    runOnStackOf(std::size_t(128) << 10, cookLast);
    EXPECT_EQ(result, UT_ERROR_NONE);
    EXPECT_EQ(chain.back()->getWorldTransform()(3, 0), kChain);
    EXPECT_EQ(chain[kChain / 2]->getWorldTransform()(3, 0), kChain / 2 + 1);

    chain[kChain / 2]->setFloat("t", 0, 0, 3.0);
    runOnStackOf(std::size_t(128) << 10, cookLast);
    EXPECT_EQ(chain.back()->getWorldTransform()(3, 0), kChain + 2);
    int cookedTwice = 0;
    for (const OBJ_Node* node : chain)
        cookedTwice += node->getCookCount() == 2 ? 1 : 0;
    EXPECT_EQ(cookedTwice, kChain / 2);
    EXPECT_EQ(chain.front()->getCookCount(), 1);
}

// A run of cooks (the host program's whole-scene cooks and bake samples)
// checks a chain once however many of its nodes it cooks, and in any order
// of the nodes still cooks each parent before its child.
TEST_F(Nodes, ARunOfCooksCooksEachNodeOnceParentsFirst) {
    OBJ_Node* child = make("null", "child");
    OBJ_Node* middle = make("null", "middle");
    OBJ_Node* top = make("null", "top");
    ASSERT_TRUE(child->setInput(0, middle));
    ASSERT_TRUE(middle->setInput(0, top));
    top->setKeyframes(top->findParmIndex("t"), 0, {{0.0f, 0.0}, {1.0f, 10.0}});
    middle->setFloat("t", 0, 0, 1.0);
    child->setFloat("t", 0, 0, 2.0);
    const auto runAt = [&](float time) {
        OP_CookRun run(time);
        for (OBJ_Node* node : {child, middle, top})
            EXPECT_EQ(run.cook(*node), UT_ERROR_NONE);
    };
    runAt(0.0f);
    EXPECT_DOUBLE_EQ(child->getWorldTransform()(3, 0), 3.0);
    for (const OBJ_Node* node : {child, middle, top})
        EXPECT_EQ(node->getCookCount(), 1) << node->getName();
    runAt(1.0f);
    EXPECT_DOUBLE_EQ(child->getWorldTransform()(3, 0), 13.0);
    EXPECT_EQ(child->getCookCount(), 2);
    EXPECT_EQ(top->getCookCount(), 2);
    // Nothing changed: a new run at the same time cooks nothing.
    runAt(1.0f);
    EXPECT_EQ(child->getCookCount(), 2);
    // An edit between runs recooks the edited node and those below it only.
    middle->setFloat("t", 0, 0, 4.0);
    runAt(1.0f);
    EXPECT_DOUBLE_EQ(child->getWorldTransform()(3, 0), 16.0);
    EXPECT_EQ(middle->getCookCount(), 3);
    EXPECT_EQ(child->getCookCount(), 3);
    EXPECT_EQ(top->getCookCount(), 2);
    // A plain cook after the runs still checks the whole chain.
    OP_Context t0(0.0f);
    child->cook(t0);
    EXPECT_DOUBLE_EQ(child->getWorldTransform()(3, 0), 6.0);
}

// The host's virtual operations keep a fixed slot order that plug-ins are
// built against: the destructor first, refreshEnableStates directly after
// it, labelForInput directly before outputLabel, then
// applyInputIndependentTransform and cookMyObj. (Itanium C++ ABI: a pointer
// to a virtual member holds 1 + the slot's byte offset.)
template <typename F> std::ptrdiff_t slotOffset(F f) {
    struct Rep {
        std::ptrdiff_t ptr, adj;
    } rep;
    static_assert(sizeof(F) == sizeof(Rep));
    std::memcpy(&rep, &f, sizeof rep);
    return rep.ptr - 1;
}

TEST(VirtualSlots, FollowTheHostsOrder) {
    const std::ptrdiff_t word = sizeof(void*);
    std::ptrdiff_t refresh = slotOffset(&OBJ_Null::refreshEnableStates);
    std::ptrdiff_t label = slotOffset(&OBJ_Null::labelForInput);
    std::ptrdiff_t output = slotOffset(&OBJ_Null::outputLabel);
    std::ptrdiff_t apply = slotOffset(&OBJ_Null::applyInputIndependentTransform);
    std::ptrdiff_t cook = slotOffset(&OBJ_Null::cookMyObj);
    // Slots 0 and 1 are the complete and deleting destructors.
    EXPECT_EQ(refresh, 2 * word);
    EXPECT_EQ(label + word, output);
    EXPECT_LT(refresh, label);
    EXPECT_LT(label, apply);
    EXPECT_LT(apply, cook);
}

TEST(ObjectTemplates, HoldTheObjectParametersWithTheSwitcherLast) {
    const PRM_Template* list = OBJ_Null::getTemplateList();
    int n = PRM_Template::countTemplates(list);
    std::set<std::string> tokens;
    for (int i = 0; i < n; ++i) {
        ASSERT_NE(list[i].getToken(), nullptr) << i;
        tokens.insert(list[i].getToken());
    }
    for (const char* token :
         {"keeppos", "pre_xform", "xOrd", "rOrd", "t", "r", "s", "p", "scale", "lookatpath",
          "lookup", "pathobjpath", "roll", "pos", "uparmtype", "pathorient", "up", "bank",
          "shop_materialpath", "shop_materialopts", "tdisplay", "display", "renderspace"})
        EXPECT_EQ(tokens.count(token), 1u) << token;
    // Visible parameters whose tokens merely begin with "t" and "scale".
    EXPECT_EQ(tokens.count("tags"), 1u);
    EXPECT_EQ(tokens.count("scalehandles"), 1u);
    EXPECT_STREQ(list[n - 1].getToken(), "stdswitcher");
    EXPECT_TRUE(list[n - 1].getType().isSwitcher());
    EXPECT_TRUE(list[n].isTerminator());
    EXPECT_EQ(list[4].getChoiceListPtr(), nullptr);
    EXPECT_EQ(list[2].getChoiceListPtr(), &PRMtrsMenu);
    EXPECT_EQ(list[3].getChoiceListPtr(), &PRMxyzMenu);
}

TEST(OrderMenus, ListTheOrdersInIndexOrder) {
    ASSERT_EQ(PRMtrsMenu.getCount(), 6);
    ASSERT_EQ(PRMxyzMenu.getCount(), 6);
    const char* trs[] = {"Scale Rot Trans", "Scale Trans Rot", "Rot Scale Trans",
                         "Rot Trans Scale", "Trans Scale Rot", "Trans Rot Scale"};
    const char* xyz[] = {"Rx Ry Rz", "Rx Rz Ry", "Ry Rx Rz", "Ry Rz Rx", "Rz Rx Ry", "Rz Ry Rx"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(PRMtrsMenu.getItem(i)->getLabel(), trs[i]);
        EXPECT_STREQ(PRMxyzMenu.getItem(i)->getLabel(), xyz[i]);
    }
    EXPECT_EQ(PRMtrsMenu.getItem(6), nullptr);
}

TEST_F(Nodes, ThePreTransformMenuResetsTheTransformWhenTheUserPicksIt) {
    OBJ_Node* a = make("null");
    a->setFloat("t", 0, 0, 4.0);
    a->setFloat("s", 1, 0, 3.0);
    ASSERT_TRUE(a->setParmByUser("pre_xform", 0, 0, 1));
    EXPECT_DOUBLE_EQ(a->evalFloat("t", 0, 0), 0.0);
    EXPECT_DOUBLE_EQ(a->evalFloat("s", 1, 0), 1.0);
    EXPECT_EQ(a->evalInt("pre_xform", 0, 0), 0);
}

TEST(OperatorTable, RefusesASecondTypeOfTheSameName) {
    OP_OperatorTable table;
    OBJinstallHostOperators(table);
    EXPECT_EQ(table.entries(), 1);
    EXPECT_FALSE(table.addOperator(
        new OP_Operator("null", "Other", OBJ_Null::myConstructor, nullptr, 0, 1)));
    EXPECT_EQ(table.entries(), 1);
    EXPECT_STREQ(table.getOperator("null")->getEnglishName(), "Null");
    EXPECT_EQ(table.getOperator("nope"), nullptr);
}

} // namespace
