// OP_Context: what a cook or an evaluation is asked for: one time.
#pragma once

class OP_Context {
public:
    explicit OP_Context(float time = 0.0f) : myTime(time) {}
    // Seconds.
    float getTime() const { return myTime; }
    void setTime(float t) { myTime = t; }

private:
    float myTime;
};
