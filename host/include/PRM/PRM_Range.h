// PRM_Range: the range a float or integer parameter is shown and held in.
//
// Each end is either free (the user may go past it), a UI end (sliders stop
// there but typed values may go past) or restricted (user edits are clamped
// to it). Plug-in writes are never clamped.
#pragma once

enum PRM_RangeFlag {
    PRM_RANGE_FREE = 0,
    PRM_RANGE_UI = 1,
    PRM_RANGE_RESTRICTED = 2,
};

class PRM_Range {
public:
    constexpr PRM_Range(PRM_RangeFlag minFlag = PRM_RANGE_UI, double minValue = 0.0,
                        PRM_RangeFlag maxFlag = PRM_RANGE_UI, double maxValue = 1.0)
        : myMinFlag(minFlag), myMaxFlag(maxFlag), myMin(minValue), myMax(maxValue) {}

    constexpr PRM_RangeFlag getMinFlag() const { return myMinFlag; }
    constexpr PRM_RangeFlag getMaxFlag() const { return myMaxFlag; }
    constexpr double getMin() const { return myMin; }
    constexpr double getMax() const { return myMax; }

    // value clamped at each restricted end.
    double clampUserValue(double value) const;

private:
    PRM_RangeFlag myMinFlag, myMaxFlag;
    double myMin, myMax;
};
