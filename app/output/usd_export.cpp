#include "output/usd_export.hpp"

#include "support/errors.hpp"
#include "support/output_file.hpp"
#include "support/text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#ifndef MHOST_VERSION
#define MHOST_VERSION "unknown"
#endif

namespace mhost {

namespace {

constexpr const char* kRootPrim = "bake";
// Text is handed to the file in pieces of about this size.
constexpr std::size_t kPieceBytes = std::size_t(1) << 20;
// Prims deeper than this are indented no further: a long chain would
// otherwise spend most of its file on blanks.
constexpr std::size_t kMostIndentLevels = 32;

bool isIdentifierStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isIdentifierChar(char c) {
    return isIdentifierStart(c) || (c >= '0' && c <= '9');
}

bool isIdentifier(std::string_view name) {
    return !name.empty() && isIdentifierStart(name.front()) &&
           std::all_of(name.begin(), name.end(), isIdentifierChar);
}

// An identifier made from name: each character an identifier cannot hold
// (a whole UTF-8 sequence, or a byte that is not one) becomes "_".
std::string madeIdentifier(std::string_view name) {
    std::string made;
    for (std::size_t i = 0; i < name.size();) {
        if (isIdentifierChar(name[i])) {
            made += name[i++];
            continue;
        }
        made += '_';
        i += std::max<std::size_t>(1, utf8Length(name, i));
    }
    if (made.empty() || !isIdentifierStart(made.front()))
        made.insert(0, 1, '_');
    return made;
}

// A USD string literal: quotes, backslashes and line breaks escaped, other
// control characters and bytes that are not UTF-8 as \xNN.
void appendString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && utf8Length(text, i) == 0)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            const std::size_t length = c < 0x80 ? 1 : utf8Length(text, i);
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
    }
    out += '"';
}

void appendMatrix(std::string& out, const double* m) {
    out += "( ";
    for (int row = 0; row < 4; ++row) {
        out += row == 0 ? "(" : ", (";
        for (int col = 0; col < 4; ++col) {
            if (col > 0)
                out += ", ";
            appendShortest(out, m[row * 4 + col]);
        }
        out += ')';
    }
    out += " )";
}

void appendIndent(std::string& out, std::size_t levels) {
    out.append(4 * std::min(levels, kMostIndentLevels), ' ');
}

// x, or the whole number within 1e-9 of it.
double nearWhole(double x) {
    const double whole = std::round(x);
    return std::abs(x - whole) <= 1e-9 * std::max(1.0, std::abs(x)) ? whole : x;
}

} // namespace

std::vector<std::string> usdPrimNames(const std::vector<std::string>& names,
                                      const std::vector<int>& parents) {
    // Siblings by parent (index 0: the top nodes).
    std::vector<std::vector<std::size_t>> siblings(names.size() + 1);
    for (std::size_t n = 0; n < names.size(); ++n)
        siblings[static_cast<std::size_t>(parents[n] + 1)].push_back(n);
    std::vector<std::string> prims(names.size());
    for (const std::vector<std::size_t>& group : siblings) {
        std::unordered_set<std::string> taken;
        for (const std::size_t n : group)
            if (isIdentifier(names[n])) {
                prims[n] = names[n];
                taken.insert(names[n]);
            }
        for (const std::size_t n : group) {
            if (!prims[n].empty())
                continue;
            const std::string made = madeIdentifier(names[n]);
            std::string name = made;
            for (int suffix = 2; taken.count(name) != 0; ++suffix)
                name = made + '_' + std::to_string(suffix);
            prims[n] = name;
            taken.insert(name);
        }
    }
    return prims;
}

UsdTimeCodes usdTimeCodes(const BakeResult& bake, const std::string& path) {
    const SweepRange& sweep = bake.sweep;
    const double perSecond = sweep.steps / (sweep.to - sweep.from);
    bool increasing = std::isfinite(perSecond) && perSecond > 0;
    for (std::size_t f = 1; f < bake.frames() && increasing; ++f)
        increasing = bake.times[f] > bake.times[f - 1];
    if (!increasing)
        throw InputError(quote(path) +
                         ": a USD layer needs times that increase from sample to sample "
                         "(FROM below TO)");
    UsdTimeCodes codes;
    codes.perSecond = nearWhole(perSecond);
    codes.first = nearWhole(sweep.from * codes.perSecond) + static_cast<double>(bake.firstSample);
    return codes;
}

UsdBakeWriter::UsdBakeWriter(const std::string& path, BakeOrigin origin)
    : file_(std::make_unique<OutputFile>(path)), path_(path), origin_(std::move(origin)) {}

UsdBakeWriter::~UsdBakeWriter() = default;

void UsdBakeWriter::start(const BakeResult& bake) {
    if (started_)
        return;
    codes_ = usdTimeCodes(bake, path_);
    const std::size_t nodes = bake.names.size();
    primNames_ = usdPrimNames(bake.names, bake.parents);
    children_.assign(nodes, {});
    treeOf_.assign(nodes, SIZE_MAX);
    done_.assign(nodes, false);
    for (std::size_t n = 0; n < nodes; ++n) {
        if (bake.parents[n] < 0)
            tops_.push_back(n);
        else
            children_[static_cast<std::size_t>(bake.parents[n])].push_back(n);
    }
    for (std::size_t t = 0; t < tops_.size(); ++t)
        treeOf_[tops_[t]] = t;
    // Each node's tree, through its parents: a path is walked once.
    missing_.assign(tops_.size(), 0);
    std::vector<std::size_t> path;
    for (std::size_t n = 0; n < nodes; ++n) {
        std::size_t at = n;
        while (treeOf_[at] == SIZE_MAX) {
            path.push_back(at);
            at = static_cast<std::size_t>(bake.parents[at]);
        }
        for (const std::size_t p : path)
            treeOf_[p] = treeOf_[at];
        path.clear();
        ++missing_[treeOf_[n]];
    }

    const double last = codes_.first + static_cast<double>(bake.frames() - 1);
    text_ += "#usda 1.0\n(\n    doc = ";
    appendString(text_,
                 "Baked from " + origin_.scene + " by mhost " MHOST_VERSION ": " + origin_.command);
    text_ += "\n    defaultPrim = \"";
    text_ += kRootPrim;
    text_ += "\"\n    startTimeCode = ";
    appendShortest(text_, codes_.first);
    text_ += "\n    endTimeCode = ";
    appendShortest(text_, last);
    text_ += "\n    timeCodesPerSecond = ";
    appendShortest(text_, codes_.perSecond);
    text_ += "\n    framesPerSecond = ";
    appendShortest(text_, codes_.perSecond);
    text_ += "\n    upAxis = \"Y\"\n    metersPerUnit = 1\n)\n\ndef Xform \"";
    text_ += kRootPrim;
    text_ += "\"\n{\n";
    started_ = true;
}

void UsdBakeWriter::writePrimHead(const BakeResult& bake, std::size_t node, std::size_t depth) {
    std::string& out = text_;
    const auto line = [&](std::size_t levels, std::string_view text) {
        appendIndent(out, depth + levels);
        out += text;
    };
    line(0, "def Xform \"");
    out += primNames_[node];
    out += "\" (\n";
    line(1, "customData = {\n");
    line(2, "string mhostName = ");
    appendString(out, bake.names[node]);
    out += '\n';
    line(1, "}\n");
    line(0, ")\n");
    line(0, "{\n");

    const std::size_t frames = bake.frames();
    const double* first = bake.localAt(0, node);
    bool moves = false;
    for (std::size_t f = 1; f < frames && !moves; ++f)
        moves = std::memcmp(bake.localAt(f, node), first, 16 * sizeof(double)) != 0;
    if (!moves) {
        line(1, "matrix4d xformOp:transform = ");
        appendMatrix(out, first);
        out += '\n';
    } else {
        line(1, "matrix4d xformOp:transform.timeSamples = {\n");
        for (std::size_t f = 0; f < frames; ++f) {
            line(2, "");
            appendShortest(out, codes_.first + static_cast<double>(f));
            out += ": ";
            appendMatrix(out, bake.localAt(f, node));
            out += ",\n";
            if (out.size() >= kPieceBytes)
                flush(false);
        }
        line(1, "}\n");
    }
    line(1, "uniform token[] xformOpOrder = [\"xformOp:transform\"]\n");
}

void UsdBakeWriter::writeTree(const BakeResult& bake, std::size_t top) {
    // Depth first without recursion: a chain of nodes can be long.
    struct Open {
        std::size_t node;
        std::size_t nextChild = 0;
    };
    std::vector<Open> open{{top}};
    if (treesWritten_ > 0)
        text_ += '\n';
    writePrimHead(bake, top, 1);
    while (!open.empty()) {
        Open& at = open.back();
        const std::vector<std::size_t>& kids = children_[at.node];
        if (at.nextChild < kids.size()) {
            const std::size_t child = kids[at.nextChild++];
            text_ += '\n';
            open.push_back({child});
            writePrimHead(bake, child, open.size());
        } else {
            appendIndent(text_, open.size());
            text_ += "}\n";
            open.pop_back();
        }
        if (text_.size() >= kPieceBytes)
            flush(false);
    }
    ++treesWritten_;
}

void UsdBakeWriter::writeReadyTrees(const BakeResult& bake) {
    while (treesWritten_ < tops_.size() && missing_[treesWritten_] == 0)
        writeTree(bake, tops_[treesWritten_]);
}

void UsdBakeWriter::flush(bool all) {
    if (text_.empty() || (!all && text_.size() < kPieceBytes))
        return;
    file_->write(text_);
    text_.clear();
}

void UsdBakeWriter::columnsReady(const BakeResult& bake, std::size_t first, std::size_t end) {
    start(bake);
    for (std::size_t n = first; n < end; ++n) {
        if (done_[n])
            continue;
        done_[n] = true;
        --missing_[treeOf_[n]];
    }
    const std::size_t before = treesWritten_;
    writeReadyTrees(bake);
    if (treesWritten_ != before) {
        flush(true);
        file_->startWriteback();
    }
}

void UsdBakeWriter::finish(const BakeResult& bake) {
    start(bake);
    std::fill(missing_.begin(), missing_.end(), 0);
    writeReadyTrees(bake);
    text_ += "}\n";
    flush(true);
    file_->commit();
}

} // namespace mhost
