// Fuzz target: the scene reader and writer. Any bytes are read as a scene;
// one that loads must save to text that loads and saves to the very same
// text: save(load(x)) == save(load(save(load(x)))). Text that is not JSON
// is refused by the scene reader itself, which skips and returns to
// values, exactly as by the whole-document reader.
#include "engine/scene_io.hpp"
#include "fuzz_support.hpp"
#include "support/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mhost;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Json document;
    try {
        document = parseJson(text, "fuzz");
    } catch (const MalformedJson& malformed) {
        if (fuzz::textAsksTooMuch(text))
            return -1;
        Scene scene(fuzz::host());
        try {
            sceneFromText(scene, text, "fuzz");
        } catch (const MalformedJson& e) {
            if (std::string_view(e.what()) == malformed.what())
                return 0;
            std::fprintf(stderr, "the scene reader refused otherwise: %s\nnot: %s\n", e.what(),
                         malformed.what());
            std::abort();
        } catch (const Failure& e) {
            std::fprintf(stderr, "malformed text refused as a bad scene: %s\n", e.what());
            std::abort();
        }
        std::fprintf(stderr, "malformed text loaded as a scene: %s\n", malformed.what());
        std::abort();
    } catch (const Failure&) {
        return 0;
    }
    if (fuzz::sceneAsksTooMuch(document))
        return -1;
    Scene first(fuzz::host());
    try {
        sceneFromJson(first, document, "fuzz");
    } catch (const Failure&) {
        return 0;
    }
    const std::string saved = sceneText(first);
    Scene second(fuzz::host());
    try {
        sceneFromJson(second, parseJson(saved, "saved"), "saved");
    } catch (const Failure& failure) {
        std::fprintf(stderr, "a saved scene does not load: %s\n%s", failure.what(), saved.c_str());
        std::abort();
    }
    const std::string again = sceneText(second);
    if (again != saved) {
        std::fprintf(stderr, "save, load and save changed the scene:\n%s\n---\n%s", saved.c_str(),
                     again.c_str());
        std::abort();
    }
    return 0;
}
