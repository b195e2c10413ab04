// The host's transform mathematics: vectors, transform orders, quaternions
// and 4x4 matrices.
//
// Conventions (every transform in the host follows them):
//
//  * Row vectors. A point p transforms as p' = p * M. Matrices are stored
//    row-major, m[row][column]; the translation sits in the last row,
//    m[3][0..2].
//  * Composition reads left to right: in A * B the transform A acts first.
//    UT_DMatrix4::xform appends, M <- M * X, so whatever M already held acts
//    before the new transform X.
//  * Rotations are right-handed: a positive angle about Z turns +X towards +Y.
//    Angles in parameters are degrees; angles handed to UT_Quaternion are
//    radians.
//  * Transform order (UT_XformOrder::rstOrder) names the order in which the
//    three operations act on a point, left to right:
//        TRS 0, TSR 1, RTS 2, RST 3, STR 4, SRT 5
//    (SRT: scale first, then rotate, then translate).
//  * Rotate order (UT_XformOrder::xyzOrder) names the order in which the three
//    axis rotations act, left to right:
//        XYZ 0, XZY 1, YXZ 2, YZX 3, ZXY 4, ZYX 5
//    (XYZ: the rotation about X acts first).
//  * With translate t, rotate r, scale s and pivot p, xform builds
//        X = T(-p) * [the three operations in the main order] * T(p)
//    where the rotate operation is the three axis rotations in the rotate
//    order.
//  * Parameter menus. PRMtrsMenu lists, by index 0..5, "Scale Rot Trans",
//    "Scale Trans Rot", "Rot Scale Trans", "Rot Trans Scale",
//    "Trans Scale Rot", "Trans Rot Scale": menu index x names rstOrder 5 - x.
//    PRMxyzMenu lists "Rx Ry Rz", "Rx Rz Ry", "Ry Rx Rz", "Ry Rz Rx",
//    "Rz Rx Ry", "Rz Ry Rx": menu index r names xyzOrder r.
//  * Euler angles recovered from a rotation (computeRotations, explode) lie in
//    (-pi, pi] for the first and last rotation and in [-pi/2, pi/2] for the
//    middle one. At gimbal lock (middle angle at +-pi/2) the last rotation is
//    0 and the first one carries the whole remaining turn.
#pragma once

#include <cstddef>

class UT_Vector3 {
public:
    UT_Vector3() = default;
    UT_Vector3(float x, float y, float z) : myV{x, y, z} {}

    float& operator[](std::size_t i) { return myV[i]; }
    float operator[](std::size_t i) const { return myV[i]; }
    float x() const { return myV[0]; }
    float y() const { return myV[1]; }
    float z() const { return myV[2]; }

private:
    float myV[3] = {0.0f, 0.0f, 0.0f};
};

// A transform order together with a rotate order.
class UT_XformOrder {
public:
    enum rstOrder { TRS = 0, TSR = 1, RTS = 2, RST = 3, STR = 4, SRT = 5 };
    enum xyzOrder { XYZ = 0, XZY = 1, YXZ = 2, YZX = 3, ZXY = 4, ZYX = 5 };

    // The host's default: scale, rotate, translate; X, then Y, then Z.
    UT_XformOrder() = default;
    UT_XformOrder(rstOrder rst, xyzOrder xyz) : myMain(rst), myRot(xyz) {}

    // Sets both orders at once.
    void reorder(rstOrder rst, xyzOrder xyz) {
        myMain = rst;
        myRot = xyz;
    }
    void mainOrder(rstOrder rst) { myMain = rst; }
    void rotOrder(xyzOrder xyz) { myRot = xyz; }
    rstOrder mainOrder() const { return myMain; }
    xyzOrder rotOrder() const { return myRot; }

    // The operation that acts in position i (0 first): 'T', 'R' or 'S'.
    char mainOp(int i) const;
    // The axis that turns in position i (0 first): 0 X, 1 Y, 2 Z.
    int rotAxis(int i) const;

    // Maps a PRMtrsMenu index (0..5) to its rstOrder, 5 - index; indices
    // outside 0..5 give the default SRT.
    static rstOrder mainOrderFromMenu(int index);
    // Maps a PRMxyzMenu index (0..5) to its xyzOrder, the same number;
    // indices outside 0..5 give the default XYZ.
    static xyzOrder rotOrderFromMenu(int index);

private:
    rstOrder myMain = SRT;
    xyzOrder myRot = XYZ;
};

// A unit quaternion (x, y, z, w) representing a rotation. Built from Euler
// angles with the conventions above; the identity is (0, 0, 0, 1).
class UT_Quaternion {
public:
    UT_Quaternion() = default;
    UT_Quaternion(double x, double y, double z, double w) : myQ{x, y, z, w} {}

    // Becomes the rotation made of rotations by angles_radians[axis] about X,
    // Y and Z, acting in the rotate order of `order` (its main order is
    // ignored).
    void updateFromEuler(const UT_Vector3& anglesRadians, const UT_XformOrder& order);

    // The rotation blended from this one (t = 0) to target (t = 1) along the
    // shorter great arc (spherical linear interpolation; quaternions q and -q
    // name the same rotation, and the one nearer to this is used). bias 0 is
    // the plain slerp; a bias b in (-1, 1) warps t with the bias curve
    // t / ((1/c - 2)(1 - t) + 1), c = (b + 1) / 2, so positive values move
    // the blend towards target sooner. t is not clamped.
    UT_Quaternion interpolate(const UT_Quaternion& target, float t, float bias = 0.0f) const;

    // Euler angles in radians that rebuild this rotation in the rotate order
    // of `order`, indexed by axis (x, y, z). Ranges and the gimbal-lock rule
    // are stated at the top of this header.
    UT_Vector3 computeRotations(const UT_XformOrder& order) const;

    // Rotation angle of this quaternion relative to another, in radians, in
    // [0, pi]: 0 when both name the same rotation.
    double angleTo(const UT_Quaternion& other) const;

    double x() const { return myQ[0]; }
    double y() const { return myQ[1]; }
    double z() const { return myQ[2]; }
    double w() const { return myQ[3]; }
    double operator[](std::size_t i) const { return myQ[i]; }

private:
    double myQ[4] = {0.0, 0.0, 0.0, 1.0};
};

// A 4x4 double matrix in the row-vector convention stated above.
class UT_DMatrix4 {
public:
    // The identity.
    UT_DMatrix4();
    // Sixteen values in row-major order.
    explicit UT_DMatrix4(const double values[16]);

    void identity();
    double& operator()(int row, int col) { return myM[row][col]; }
    double operator()(int row, int col) const { return myM[row][col]; }
    const double* data() const { return &myM[0][0]; }

    // this * other: this acts first.
    UT_DMatrix4 operator*(const UT_DMatrix4& other) const;
    UT_DMatrix4& operator*=(const UT_DMatrix4& other);
    bool operator==(const UT_DMatrix4& other) const;

    // Appends the transform X built from the arguments (see the top of this
    // header): this <- this * X. Rotations are in degrees. With a non-zero
    // `inverse` the inverse of X is appended instead, undoing a previous
    // xform with the same arguments.
    void xform(const UT_XformOrder& order, double tx, double ty, double tz, double rx, double ry,
               double rz, double sx, double sy, double sz, double px, double py, double pz,
               int inverse = 0);

    // Splits a matrix without shear or pivot into translate, rotate (degrees,
    // indexed by axis) and scale for `order`, such that xform with those
    // values on an identity matrix rebuilds it. A reflection is carried by a
    // negative x scale. Returns false (and leaves the outputs at the identity
    // pose) when the upper 3x3 block is singular.
    bool explode(const UT_XformOrder& order, double t[3], double rDegrees[3], double s[3]) const;

    // p * this for the point p (w = 1).
    void transformPoint(const double p[3], double out[3]) const;

    // Largest absolute difference of any entry.
    double maxDifference(const UT_DMatrix4& other) const;

private:
    double myM[4][4];
};
