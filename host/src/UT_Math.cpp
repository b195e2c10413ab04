// The host's transform mathematics. Conventions are stated in UT/UT_Math.h.
//
// Internally, rotations are handled by Eigen in its column-vector form
// (v' = R v); a row-vector matrix of the host is the transpose of that. With
// column vectors the rotation acting first sits rightmost, so the rotate order
// "i, then j, then k" is R = R_k * R_j * R_i.
#include "UT/UT_Math.h"

#include <Eigen/Dense>
#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

using Mat4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
using Mat3 = Eigen::Matrix3d;

constexpr double kPi = std::numbers::pi;
constexpr double kDegToRad = kPi / 180.0;
constexpr double kRadToDeg = 180.0 / kPi;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// |cos(middle angle)| below this counts as gimbal lock. Angles reach the
// host as 32-bit floats, and a quarter turn given as a float misses pi/2 by
// 4.4e-8: anything within a float's precision of the lock is the lock.
constexpr double kGimbalTolerance = std::numeric_limits<float>::epsilon();
// Singular: rows whose spanned volume, relative to the product of their
// lengths, is below this cannot be split into a rotation and a scale with
// any accuracy left.
const double kFlatRatio = std::sqrt(kEpsilon);

// Operations in acting order for each rstOrder.
constexpr char kMainOps[6][3] = {
    {'T', 'R', 'S'}, {'T', 'S', 'R'}, {'R', 'T', 'S'},
    {'R', 'S', 'T'}, {'S', 'T', 'R'}, {'S', 'R', 'T'},
};
// Axes in acting order for each xyzOrder.
constexpr int kRotAxes[6][3] = {
    {0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0},
};

Eigen::Map<Mat4> asEigen(UT_DMatrix4& m) {
    return Eigen::Map<Mat4>(&m(0, 0));
}
Eigen::Map<const Mat4> asEigen(const UT_DMatrix4& m) {
    return Eigen::Map<const Mat4>(m.data());
}

Eigen::Vector3d axisVector(int axis) {
    return Eigen::Vector3d::Unit(axis);
}

// Column-vector rotation for the three axis angles (radians) acting in the
// rotate order `xyz`.
Eigen::Quaterniond eulerToQuaternion(const double anglesRadians[3], UT_XformOrder::xyzOrder xyz) {
    Eigen::Quaterniond q = Eigen::Quaterniond::Identity();
    for (int i = 0; i < 3; ++i) {
        const int axis = kRotAxes[xyz][i];
        // Later rotations multiply on the left (column vectors).
        q = Eigen::Quaterniond(Eigen::AngleAxisd(anglesRadians[axis], axisVector(axis))) * q;
    }
    return q;
}

// Maps an angle from atan2 into (-pi, pi].
double wrapHalfOpen(double a) {
    return a <= -kPi ? a + 2.0 * kPi : a;
}

// Decomposes the column-vector rotation matrix r = R_k(c) * R_j(b) * R_i(a),
// where (i, j, k) are the axes acting first, second and last, into angles
// (radians) indexed by axis. a, c in (-pi, pi], b in [-pi/2, pi/2]; at gimbal
// lock c is 0.
//
// Worked per order with the parity sign s (+1 when (i, j, k) is a cyclic
// ordering of (x, y, z): XYZ, YZX, ZXY; -1 for XZY, YXZ, ZYX):
//   r[k][i] = -s sin b
//   r[k][j] =  s cos b sin a,  r[k][k] = cos b cos a
//   r[j][i] =  s cos b sin c,  r[i][i] = cos b cos c
// At gimbal lock (cos b = 0) with c = 0, r = R_j(b) R_i(a) and row j of r is
// row j of R_i(a): r[j][j] = cos a, r[j][k] = -s sin a.
Eigen::Vector3d matrixToEuler(const Mat3& r, UT_XformOrder::xyzOrder xyz) {
    const int i = kRotAxes[xyz][0];
    const int j = kRotAxes[xyz][1];
    const int k = kRotAxes[xyz][2];
    const double s =
        (xyz == UT_XformOrder::XYZ || xyz == UT_XformOrder::YZX || xyz == UT_XformOrder::ZXY)
            ? 1.0
            : -1.0;

    const double cosB = std::hypot(r(i, i), s * r(j, i));
    const double sinB = -s * r(k, i);
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    if (cosB < kGimbalTolerance) {
        b = sinB >= 0.0 ? kPi / 2.0 : -kPi / 2.0;
        a = wrapHalfOpen(std::atan2(-s * r(j, k), r(j, j)));
        c = 0.0;
    } else {
        b = std::atan2(sinB, cosB);
        a = wrapHalfOpen(std::atan2(s * r(k, j), r(k, k)));
        c = wrapHalfOpen(std::atan2(s * r(j, i), r(i, i)));
    }
    Eigen::Vector3d out;
    out[i] = a;
    out[j] = b;
    out[k] = c;
    return out;
}

Eigen::Vector4d toEigen(const UT_Quaternion& q) {
    return {q.x(), q.y(), q.z(), q.w()};
}
UT_Quaternion fromEigen(const Eigen::Vector4d& v) {
    return {v[0], v[1], v[2], v[3]};
}

} // namespace

// ---------------------------------------------------------------------------
// UT_XformOrder

char UT_XformOrder::mainOp(int i) const {
    if (i < 0 || i > 2) {
        return '\0';
    }
    return kMainOps[myMain][i];
}

int UT_XformOrder::rotAxis(int i) const {
    if (i < 0 || i > 2) {
        return -1;
    }
    return kRotAxes[myRot][i];
}

UT_XformOrder::rstOrder UT_XformOrder::mainOrderFromMenu(int index) {
    if (index < 0 || index > 5) {
        return SRT;
    }
    return static_cast<rstOrder>(5 - index);
}

UT_XformOrder::xyzOrder UT_XformOrder::rotOrderFromMenu(int index) {
    if (index < 0 || index > 5) {
        return XYZ;
    }
    return static_cast<xyzOrder>(index);
}

// ---------------------------------------------------------------------------
// UT_Quaternion

void UT_Quaternion::updateFromEuler(const UT_Vector3& anglesRadians, const UT_XformOrder& order) {
    const double angles[3] = {anglesRadians.x(), anglesRadians.y(), anglesRadians.z()};
    const Eigen::Quaterniond q = eulerToQuaternion(angles, order.rotOrder());
    myQ[0] = q.x();
    myQ[1] = q.y();
    myQ[2] = q.z();
    myQ[3] = q.w();
}

UT_Quaternion UT_Quaternion::interpolate(const UT_Quaternion& target, float t, float bias) const {
    double u = t;
    if (bias != 0.0f) {
        const double c = (static_cast<double>(bias) + 1.0) / 2.0;
        u = u / ((1.0 / c - 2.0) * (1.0 - u) + 1.0);
    }

    const Eigen::Vector4d from = toEigen(*this);
    Eigen::Vector4d to = toEigen(target);
    double dot = from.dot(to);
    if (dot < 0.0) {
        to = -to;
        dot = -dot;
    }

    Eigen::Vector4d blended;
    // Within sqrt(epsilon) of 1, acos has lost half its digits while the arc
    // is so short (under 2.2e-4) that a normalised lerp departs from it by
    // less than 1e-11: blend linearly.
    if (dot > 1.0 - std::sqrt(kEpsilon)) {
        blended = (1.0 - u) * from + u * to;
    } else {
        const double theta = std::acos(std::min(dot, 1.0));
        const double sinTheta = std::sin(theta);
        blended =
            (std::sin((1.0 - u) * theta) / sinTheta) * from + (std::sin(u * theta) / sinTheta) * to;
    }
    const double norm = blended.norm();
    if (norm > 0.0) {
        blended /= norm;
    }
    return fromEigen(blended);
}

UT_Vector3 UT_Quaternion::computeRotations(const UT_XformOrder& order) const {
    Eigen::Quaterniond q(myQ[3], myQ[0], myQ[1], myQ[2]);
    const double norm = q.norm();
    if (!(norm > 0.0)) {
        return UT_Vector3();
    }
    q.coeffs() /= norm;
    const Eigen::Vector3d e = matrixToEuler(q.toRotationMatrix(), order.rotOrder());
    return UT_Vector3(static_cast<float>(e[0]), static_cast<float>(e[1]), static_cast<float>(e[2]));
}

double UT_Quaternion::angleTo(const UT_Quaternion& other) const {
    Eigen::Quaterniond a(myQ[3], myQ[0], myQ[1], myQ[2]);
    Eigen::Quaterniond b(other.w(), other.x(), other.y(), other.z());
    a.normalize();
    b.normalize();
    const Eigen::Quaterniond d = a * b.conjugate();
    return 2.0 * std::atan2(d.vec().norm(), std::abs(d.w()));
}

// ---------------------------------------------------------------------------
// UT_DMatrix4

UT_DMatrix4::UT_DMatrix4() {
    identity();
}

UT_DMatrix4::UT_DMatrix4(const double values[16]) {
    std::copy(values, values + 16, &myM[0][0]);
}

void UT_DMatrix4::identity() {
    asEigen(*this).setIdentity();
}

UT_DMatrix4 UT_DMatrix4::operator*(const UT_DMatrix4& other) const {
    UT_DMatrix4 result;
    asEigen(result).noalias() = asEigen(*this) * asEigen(other);
    return result;
}

UT_DMatrix4& UT_DMatrix4::operator*=(const UT_DMatrix4& other) {
    const Mat4 product = asEigen(*this) * asEigen(other);
    asEigen(*this) = product;
    return *this;
}

bool UT_DMatrix4::operator==(const UT_DMatrix4& other) const {
    return asEigen(*this) == asEigen(other);
}

double UT_DMatrix4::maxDifference(const UT_DMatrix4& other) const {
    return (asEigen(*this) - asEigen(other)).cwiseAbs().maxCoeff();
}

void UT_DMatrix4::transformPoint(const double p[3], double out[3]) const {
    const Eigen::RowVector4d v(p[0], p[1], p[2], 1.0);
    const Eigen::RowVector4d r = v * asEigen(*this);
    // Matrices without projection keep w at 1; divide anyway for generality.
    const double w = r[3] != 0.0 ? r[3] : 1.0;
    out[0] = r[0] / w;
    out[1] = r[1] / w;
    out[2] = r[2] / w;
}

void UT_DMatrix4::xform(const UT_XformOrder& order, double tx, double ty, double tz, double rx,
                        double ry, double rz, double sx, double sy, double sz, double px, double py,
                        double pz, int inverse) {
    // Every cook builds a transform this way, so X is composed in closed
    // form rather than as five 4x4 products: X is affine, p' = p * a + b,
    // with a the 3x3 block and b the translation row, and each operation
    // changes a and b in place.
    //   X = T(-p) * op0 * op1 * op2 * T(p); its inverse is
    //   T(-p) * op2^-1 * op1^-1 * op0^-1 * T(p), each op inverted exactly.
    const double angles[3] = {rx * kDegToRad, ry * kDegToRad, rz * kDegToRad};
    const double t[3] = {tx, ty, tz};
    const double s[3] = {sx, sy, sz};
    const double pivot[3] = {px, py, pz};
    double a[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double b[3] = {-px, -py, -pz};

    // Appends the rotation about one axis, (c, sn) its cosine and sine: as
    // a row-vector matrix it turns the columns (u, v) of the two other axes,
    // in cyclic order after it, by [[c, sn], [-sn, c]].
    const auto turn = [&](int axis, double c, double sn) {
        const int u = (axis + 1) % 3, v = (axis + 2) % 3;
        for (int row = 0; row < 3; ++row) {
            const double ru = a[row][u], rv = a[row][v];
            a[row][u] = ru * c - rv * sn;
            a[row][v] = ru * sn + rv * c;
        }
        const double bu = b[u], bv = b[v];
        b[u] = bu * c - bv * sn;
        b[v] = bu * sn + bv * c;
    };
    for (int n = 0; n < 3; ++n) {
        switch (order.mainOp(inverse ? 2 - n : n)) {
        case 'T':
            for (int k = 0; k < 3; ++k)
                b[k] += inverse ? -t[k] : t[k];
            break;
        case 'R':
            // The inverse of X then Y then Z is -Z then -Y then -X.
            for (int i = 0; i < 3; ++i) {
                const int axis = order.rotAxis(inverse ? 2 - i : i);
                const double c = std::cos(angles[axis]), sn = std::sin(angles[axis]);
                turn(axis, c, inverse ? -sn : sn);
            }
            break;
        default:
            for (int k = 0; k < 3; ++k) {
                const double f = inverse ? 1.0 / s[k] : s[k];
                for (int row = 0; row < 3; ++row)
                    a[row][k] *= f;
                b[k] *= f;
            }
            break;
        }
    }
    for (int k = 0; k < 3; ++k)
        b[k] += pivot[k];

    // this <- this * X, X holding a in its first three rows and columns, b
    // in its last row and (0, 0, 0, 1) in its last column.
    for (int row = 0; row < 4; ++row) {
        const double m0 = myM[row][0], m1 = myM[row][1], m2 = myM[row][2], m3 = myM[row][3];
        for (int c = 0; c < 3; ++c)
            myM[row][c] = m0 * a[0][c] + m1 * a[1][c] + m2 * a[2][c] + m3 * b[c];
    }
}

bool UT_DMatrix4::explode(const UT_XformOrder& order, double t[3], double rDegrees[3],
                          double s[3]) const {
    for (int i = 0; i < 3; ++i) {
        t[i] = 0.0;
        rDegrees[i] = 0.0;
        s[i] = 1.0;
    }

    const Mat4 m = asEigen(*this);
    const Mat3 a = m.topLeftCorner<3, 3>();

    int tPos = 0;
    int rPos = 0;
    int sPos = 0;
    for (int i = 0; i < 3; ++i) {
        switch (order.mainOp(i)) {
        case 'T':
            tPos = i;
            break;
        case 'R':
            rPos = i;
            break;
        default:
            sPos = i;
            break;
        }
    }

    // Row vectors: with scale before rotate, A = S * R and row i of A is
    // s_i times row i of R; with rotate before scale, A = R * S and column i
    // of A is s_i times column i of R.
    const bool scaleFirst = sPos < rPos;
    Eigen::Vector3d scale;
    for (int i = 0; i < 3; ++i) {
        scale[i] = scaleFirst ? a.row(i).norm() : a.col(i).norm();
    }
    const double det = a.determinant();
    const double volume = scale.prod();
    // A zero scale, or one too small to divide by, leaves no rotation to
    // recover; so do rows that span nearly zero volume.
    if (!(scale.minCoeff() >= std::numeric_limits<double>::min()) ||
        !(std::abs(det) > kFlatRatio * volume)) {
        return false;
    }
    if (det < 0.0) {
        scale[0] = -scale[0];
    }
    const Eigen::DiagonalMatrix<double, 3> invScale(1.0 / scale[0], 1.0 / scale[1], 1.0 / scale[2]);
    const Mat3 rowRotation = scaleFirst ? Mat3(invScale * a) : Mat3(a * invScale);
    const Eigen::Vector3d angles = matrixToEuler(rowRotation.transpose(), order.rotOrder());

    // The translation row is t times the linear part of the operations that
    // act after T; undo them.
    const Eigen::RowVector3d mixed = m.block<1, 3>(3, 0);
    Eigen::RowVector3d translate = mixed;
    for (int i = 2; i > tPos; --i) {
        if (i == rPos) {
            translate = translate * rowRotation.transpose();
        } else {
            translate = translate * invScale;
        }
    }

    for (int i = 0; i < 3; ++i) {
        t[i] = translate[i];
        rDegrees[i] = angles[i] * kRadToDeg;
        s[i] = scale[i];
    }
    return true;
}
