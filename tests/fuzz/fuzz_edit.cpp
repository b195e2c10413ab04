// Fuzz target: the editor's server. Any bytes are read as one request
// ("METHOD TARGET" on the first line, "name: value" header lines, a blank
// line, the body; "@TOKEN@" and "@PORT@" stand for the session's own) and
// answered by a fresh session of a scene with a null and a quenlo node.
// Whatever comes, the response is a status below 500 with a JSON or HTML body,
// and nothing is written: Save is left out (a fuzzer must not write files),
// and the session's folder must stay empty.
#include "edit/edit_serve.hpp"
#include "fuzz_support.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

constexpr int kPort = 8642;

const std::string& folder() {
    static const std::string made = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "fuzz_edit.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return pattern;
    }();
    return made;
}

std::string replaceAll(std::string text, std::string_view marker, const std::string& with) {
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + with.size()))
        text.replace(at, marker.size(), with);
    return text;
}

std::string trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r'))
        s.remove_suffix(1);
    return std::string(s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mhost;
    const std::string token = "0123456789abcdef0123456789abcdef";
    std::string text(reinterpret_cast<const char*>(data), size);
    if (fuzz::textAsksTooMuch(text))
        return 0;
    text =
        replaceAll(replaceAll(std::move(text), "@TOKEN@", token), "@PORT@", std::to_string(kPort));

    EditRequest request;
    std::size_t line = text.find('\n');
    const std::string first = trim(std::string_view(text).substr(0, line));
    request.method = first.substr(0, first.find(' '));
    std::string target =
        first.find(' ') == std::string::npos ? "/" : trim(first.substr(first.find(' ')));
    request.path = target.substr(0, target.find('?'));
    if (target.find('?') != std::string::npos) {
        const std::string query = target.substr(target.find('?') + 1);
        request.query[query.substr(0, query.find('='))] =
            query.find('=') == std::string::npos ? "" : query.substr(query.find('=') + 1);
    }
    while (line != std::string::npos) {
        const std::size_t next = text.find('\n', line + 1);
        const std::string header = trim(std::string_view(text).substr(line + 1, next - line - 1));
        line = next;
        if (header.empty())
            break;
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos)
            request.headers[header.substr(0, colon)] = trim(header.substr(colon + 1));
    }
    if (line != std::string::npos)
        request.body = text.substr(line + 1);
    if (request.path == "/api/save")
        return 0;

    const std::string scene = folder() + "/scene.json";
    EditSession session(fuzz::host(), scene);
    session.apply({{"op", "create"}, {"type", "null"}, {"name", "dummy"}});
    session.apply({{"op", "create"}, {"type", "quenlo"}, {"name", "q"}});
    EditServer server(session, token, kPort);
    const EditResponse answer = server.handle(request);
    if (answer.status >= 500 || answer.body.empty())
        __builtin_trap();
    if (!std::filesystem::is_empty(folder()))
        __builtin_trap();
    return 0;
}
