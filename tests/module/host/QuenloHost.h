// Support for tests that load OBJ_Quenlo.so through the host's loader and
// drive quenlo nodes only through the host.
#pragma once

#include "OBJ/OBJ_Node.h"
#include "OP/OP_DSOLoader.h"
#include "OP/OP_OperatorTable.h"
#include "UT/UT_Math.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace quenlo_test {

// The object table of this test process: the host's types and the module's,
// loaded once.
inline OP_OperatorTable& objectTable() {
    static OP_OperatorTable table;
    static const std::string loadError = [] {
        OBJinstallHostOperators(table);
        static OP_DSOLoader loader(table);
        std::string error;
        loader.load(QUENLO_MODULE_FILE, error);
        return error;
    }();
    EXPECT_EQ(loadError, "");
    return table;
}

using Vec3 = std::array<double, 3>;

// The matrix xform builds on an identity matrix.
inline UT_DMatrix4 poseMatrix(const UT_XformOrder& order, Vec3 t, Vec3 r, Vec3 s = {1, 1, 1},
                              Vec3 p = {0, 0, 0}) {
    UT_DMatrix4 m;
    m.xform(order, t[0], t[1], t[2], r[0], r[1], r[2], s[0], s[1], s[2], p[0], p[1], p[2], 0);
    return m;
}

inline ::testing::AssertionResult matrixNear(const UT_DMatrix4& got, const UT_DMatrix4& expected,
                                             double tolerance = 1e-5) {
    const double diff = got.maxDifference(expected);
    if (diff <= tolerance)
        return ::testing::AssertionSuccess();
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "max difference " << diff << "\ngot:";
    for (int r = 0; r < 4; ++r) {
        failure << "\n ";
        for (int c = 0; c < 4; ++c)
            failure << ' ' << got(r, c);
    }
    failure << "\nexpected:";
    for (int r = 0; r < 4; ++r) {
        failure << "\n ";
        for (int c = 0; c < 4; ++c)
            failure << ' ' << expected(r, c);
    }
    return failure;
}

// A quenlo node "q" with a host null "dummy" wired into its key dummy input.
class QuenloScene : public ::testing::Test {
protected:
    void SetUp() override {
        q = dynamic_cast<OBJ_Node*>(net.createNode("quenlo", "q"));
        dummy = dynamic_cast<OBJ_Node*>(net.createNode("null", "dummy"));
        ASSERT_NE(q, nullptr);
        ASSERT_NE(dummy, nullptr);
        ASSERT_TRUE(q->setInput(1, dummy));
    }

    // A user edit of the quenlo node.
    void edit(const std::string& token, double value, int component = 0, float time = 0.0f) {
        ASSERT_TRUE(q->setParmByUser(token.c_str(), component, time, value)) << token;
    }
    void editVector(const std::string& token, Vec3 v) {
        for (int i = 0; i < 3; ++i)
            edit(token, v[i], i);
    }
    void press(const std::string& token, float time = 0.0f) {
        ASSERT_TRUE(q->pressButton(token.c_str(), time)) << token;
    }
    // Sets key n's driver value and translate.
    void key(int n, double value, Vec3 translate) {
        const std::string number = std::to_string(n);
        edit(std::string("keyval").append(number), value);
        editVector(std::string("t").append(number), translate);
    }

    UT_DMatrix4 cookAt(float time = 0.0f) {
        OP_Context context(time);
        q->cook(context);
        return q->getLocalTransform();
    }
    Vec3 translationAt(float time = 0.0f) {
        const UT_DMatrix4 m = cookAt(time);
        return {m(3, 0), m(3, 1), m(3, 2)};
    }

    std::vector<std::string> warnings() const {
        std::vector<std::string> out;
        for (const OP_ErrorEntry& e : q->getErrors()) {
            EXPECT_EQ(e.severity, UT_ERROR_WARNING) << e.message;
            EXPECT_EQ(e.code, 10) << e.message;
            out.push_back(e.message);
        }
        return out;
    }

    double value(const std::string& token, int component = 0) const {
        return q->evalFloat(token.c_str(), component, 0.0f);
    }

    OP_Network net{&objectTable()};
    OBJ_Node* q = nullptr;
    OBJ_Node* dummy = nullptr;
};

inline void expectVecNear(const Vec3& got, const Vec3& expected, double tolerance = 1e-5) {
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(got[i], expected[i], tolerance) << "component " << i;
}

} // namespace quenlo_test
