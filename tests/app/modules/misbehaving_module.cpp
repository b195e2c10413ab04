// Modules that misbehave, one way each, for the validator's tests. One
// source, one build per fault:
//   BAD_CRASH_IN_REGISTER  newObjectOperator dies of SIGSEGV
//   BAD_CRASH_IN_COOK      "crashcook": every cook dies of SIGSEGV
//   BAD_NONFINITE          "nonfinite": a finite "lift" above 0.71 overflows
//                          the transform (e^(1000 lift))
//   BAD_WRONG_VERSION      reports interface version "8.0"
//   BAD_THROWS             "throwcook": every cook throws std::runtime_error
//   BAD_HANGS_ON_NAN       "nanhang": a cook with "lift" not a number never ends
//   BAD_LEAKS              "leaky": every node leaks 64 bytes of heap
//   BAD_FORKS              "forker": every cook starts a process that sleeps
//                          for ever, its id appended to $MHOST_TEST_PID_FILE
//   BAD_HOGS_MEMORY        "hog": a cook allocates (and touches) 8 MiB blocks
//                          without end
//   BAD_SPINS              "spinner": a cook spins for ever
//   BAD_CHECKS_LIMITS      "limited": a cook throws unless its process runs
//                          under a memory and a CPU-time limit
//   (none)                 "wellbehaved": a null with a "lift" of its own
#include <OBJ/OBJ_Null.h>
#include <OP/OP_Module.h>
#include <OP/OP_OperatorTable.h>
#include <PRM/PRM_Shared.h>
#include <PRM/PRM_Template.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

#if defined(BAD_CRASH_IN_COOK)
constexpr const char* kType = "crashcook";
#elif defined(BAD_NONFINITE)
constexpr const char* kType = "nonfinite";
#elif defined(BAD_THROWS)
constexpr const char* kType = "throwcook";
#elif defined(BAD_HANGS_ON_NAN)
constexpr const char* kType = "nanhang";
#elif defined(BAD_LEAKS)
constexpr const char* kType = "leaky";
#elif defined(BAD_FORKS)
constexpr const char* kType = "forker";
#elif defined(BAD_HOGS_MEMORY)
constexpr const char* kType = "hog";
#elif defined(BAD_SPINS)
constexpr const char* kType = "spinner";
#elif defined(BAD_CHECKS_LIMITS)
constexpr const char* kType = "limited";
#else
constexpr const char* kType = "wellbehaved";
#endif

#ifdef BAD_LEAKS
char* volatile leaked;
#endif

class Node : public OBJ_Null {
public:
    Node(OP_Network* net, const char* name, OP_Operator* op) : OBJ_Null(net, name, op) {
#ifdef BAD_LEAKS
        leaked = new char[64];
#endif
    }

    int applyInputIndependentTransform(OP_Context& context, UT_DMatrix4& xform) override {
        const int result = OBJ_Null::applyInputIndependentTransform(context, xform);
        const double lift = evalFloat("lift", 0, context.getTime());
#if defined(BAD_CRASH_IN_COOK)
        std::raise(SIGSEGV);
#elif defined(BAD_THROWS)
        throw std::runtime_error("a cook that throws");
#elif defined(BAD_HANGS_ON_NAN)
        for (volatile double v = lift; std::isnan(v);) {
        }
#elif defined(BAD_FORKS)
        if (const pid_t child = ::fork(); child == 0) {
            for (;;)
                ::pause();
        } else if (const char* file = std::getenv("MHOST_TEST_PID_FILE"); file && child > 0) {
            if (std::FILE* out = std::fopen(file, "a")) {
                std::fprintf(out, "%d\n", static_cast<int>(child));
                std::fclose(out);
            }
        }
#elif defined(BAD_HOGS_MEMORY)
        std::vector<std::unique_ptr<char[]>> blocks;
        for (;;) {
            blocks.emplace_back(new char[8 << 20]);
            std::memset(blocks.back().get(), 1, 8 << 20);
        }
#elif defined(BAD_SPINS)
        for (volatile bool spinning = true; spinning;) {
        }
#elif defined(BAD_CHECKS_LIMITS)
        for (const int resource : {RLIMIT_AS, RLIMIT_CPU}) {
            rlimit limit{};
            if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
                throw std::runtime_error(resource == RLIMIT_AS ? "no memory limit"
                                                               : "no CPU-time limit");
        }
#endif
        double y = lift;
#ifdef BAD_NONFINITE
        y = std::exp(1000.0 * lift);
#endif
        xform.xform(UT_XformOrder(), 0.0, y, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0);
        return result;
    }
};

OP_Node* create(OP_Network* net, const char* name, OP_Operator* op) {
    return new Node(net, name, op);
}

PRM_Name separatorName("liftsep", "");
PRM_Name liftName("lift", "Lift");
PRM_Range liftRange(PRM_RANGE_UI, 0.0, PRM_RANGE_UI, 10.0);
PRM_Template own[] = {
    PRM_Template(PRM_SEPARATOR, 1, &separatorName),
    PRM_Template(PRM_FLT, 1, &liftName, PRMzeroDefaults, nullptr, &liftRange),
    PRM_Template(),
};
OP_TemplatePair ownPair(own);
OP_TemplatePair templates(OBJ_Null::getTemplateList(), &ownPair);

} // namespace

MORVANE_MODULE_EXPORT void MorvaneDSOVersion(const char** version) {
#ifdef BAD_WRONG_VERSION
    *version = "8.0";
#else
    *version = OP_DSO_INTERFACE_VERSION;
#endif
}

MORVANE_MODULE_EXPORT void MorvaneGetTagInfo(const char** tag) {
    *tag = "misbehaving test module";
}

MORVANE_MODULE_EXPORT void newObjectOperator(OP_OperatorTable* table) {
#ifdef BAD_CRASH_IN_REGISTER
    std::raise(SIGSEGV);
#endif
    table->addOperator(new OP_Operator(kType, "Misbehaving", create, &templates, 0, 1));
}
