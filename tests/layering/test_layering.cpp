// The folders under src/ form layers: a file includes headers of its own
// folder or of a folder in a lower layer, never of one beside or above it,
// so the folders can never form a cycle. The order is written once, here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Lowest layer first: a folder includes its own headers and those of
// folders in earlier rows, nothing else.
const std::vector<std::vector<std::string>> kLayers = {
    {"core"},                  // port context, globals, spooler-access right, settings
    {"diag", "portinfo"},      // trace log and safe files; port kind and address
    {"snmp", "service"},       // SNMP client and BER codec; the job management service
    {"state"},                 // status store, manager bindings, job queue and its release
    {"history", "pm"},         // print history; calls into the port monitor beneath
    {"jobtrack"},              // the printer's job table by JCID, the re-sent job
    {"status"},                // device poll and interpretation, bins and options
    {"send"},                  // writes behind the write path's poll
    {"threads"},               // refresh, notification and waiting-job threads
    {"jobpath", "queries"},    // document calls; GetPrinterDataFromPort
    {"monitor"},               // library entry, monitor table, port sessions
};

// Includes allowed to point the wrong way, each with its reason; an entry
// that no longer occurs fails the check too.
const std::set<std::pair<std::string, std::string>> kKnownUpward = {
};

struct Include {
    std::string file;     // relative to src/
    std::string target;   // as written between the quotes
};

using Edges = std::map<std::pair<std::string, std::string>, std::vector<Include>>;

std::string FolderOf(const std::string& path) {
    auto slash = path.find('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

int LayerOf(const std::string& folder) {
    for (size_t i = 0; i < kLayers.size(); ++i)
        if (std::find(kLayers[i].begin(), kLayers[i].end(), folder) != kLayers[i].end()) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> SourceFolders(const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(root))
        if (entry.is_directory()) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<Include> ReadIncludes(const fs::path& root) {
    static const std::regex kLine(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<Include> out;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const std::string ext = entry.path().extension().string();
        if (ext != ".h" && ext != ".cpp") continue;
        std::ifstream in(entry.path());
        std::string line;
        std::smatch m;
        const std::string rel = fs::relative(entry.path(), root).generic_string();
        while (std::getline(in, line))
            if (std::regex_search(line, m, kLine)) out.push_back({rel, m[1].str()});
    }
    return out;
}

// Folder-to-folder edges of includes that name another folder's header.
Edges FolderEdges(const std::vector<Include>& includes) {
    Edges edges;
    for (const Include& inc : includes) {
        std::string from = FolderOf(inc.file), to = FolderOf(inc.target);
        if (from.empty() || to.empty() || from == to) continue;
        edges[{from, to}].push_back(inc);
    }
    return edges;
}

// Edges that do not point to a strictly lower layer (an unknown folder
// counts as the highest, so a stray folder is caught by its own test).
std::vector<std::pair<std::string, std::string>> UpwardEdges(const Edges& edges) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [edge, incs] : edges) {
        int from = LayerOf(edge.first), to = LayerOf(edge.second);
        if (from < 0 || to < 0 || to >= from) out.push_back(edge);
    }
    return out;
}

// The folders on some cycle of the graph (depth-first search, colours).
std::set<std::string> FoldersOnCycles(const std::set<std::pair<std::string, std::string>>& edges) {
    std::map<std::string, std::vector<std::string>> next;
    for (const auto& [from, to] : edges) next[from].push_back(to);
    std::set<std::string> onCycle;
    // A folder is on a cycle when it can reach itself; the graph is small
    // (a dozen nodes), so one search per folder is enough.
    for (const auto& [start, unused] : next) {
        std::set<std::string> seen;
        std::vector<std::string> stack(next[start].begin(), next[start].end());
        while (!stack.empty()) {
            std::string n = stack.back();
            stack.pop_back();
            if (n == start) {
                onCycle.insert(start);
                break;
            }
            if (!seen.insert(n).second) continue;
            for (const std::string& m : next[n]) stack.push_back(m);
        }
    }
    return onCycle;
}

std::string Describe(const Edges& edges, const std::pair<std::string, std::string>& edge) {
    std::string text = edge.first + " -> " + edge.second;
    auto it = edges.find(edge);
    if (it != edges.end())
        for (const Include& inc : it->second) text += "\n    " + inc.file + " includes \"" + inc.target + "\"";
    return text;
}

class Layering : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::is_directory(root_)) << root_;
        includes_ = ReadIncludes(root_);
        ASSERT_FALSE(includes_.empty());
        edges_ = FolderEdges(includes_);
    }
    fs::path root_{VJL_SOURCE_DIR};
    std::vector<Include> includes_;
    Edges edges_;
};

TEST_F(Layering, EveryFolderHasALayer) {
    for (const std::string& folder : SourceFolders(root_))
        EXPECT_GE(LayerOf(folder), 0) << "src/" << folder << " is in no layer of test_layering.cpp";
    for (const auto& layer : kLayers)
        for (const std::string& folder : layer)
            EXPECT_TRUE(fs::is_directory(root_ / folder)) << folder << " is listed but not under src/";
}

TEST_F(Layering, IncludesPointDown) {
    for (const auto& edge : UpwardEdges(edges_))
        if (!kKnownUpward.count(edge)) ADD_FAILURE() << "include against the layers: " << Describe(edges_, edge);
    for (const auto& edge : kKnownUpward)
        EXPECT_TRUE(edges_.count(edge) && LayerOf(edge.second) >= LayerOf(edge.first))
            << edge.first << " -> " << edge.second << " is gone or allowed now: drop it from kKnownUpward";
}

TEST_F(Layering, FoldersFormNoCycle) {
    std::set<std::pair<std::string, std::string>> graph;
    for (const auto& [edge, incs] : edges_)
        if (!kKnownUpward.count(edge)) graph.insert(edge);
    for (const std::string& folder : FoldersOnCycles(graph)) ADD_FAILURE() << "src/" << folder << " is on a cycle";
}

TEST_F(Layering, IncludedHeadersExist) {
    // A path that names no file is an include the check would misread.
    for (const Include& inc : includes_) {
        if (FolderOf(inc.target).empty()) continue;
        if (fs::exists(root_ / inc.target)) continue;
        // Headers of the test doubles and tools live outside src/.
        EXPECT_FALSE(fs::is_directory(root_ / FolderOf(inc.target)))
            << inc.file << " includes \"" << inc.target << "\", which is not there";
    }
}

// The check itself, on small graphs.
TEST(LayeringCheck, FindsCyclesAndOnlyThem) {
    EXPECT_EQ(FoldersOnCycles({{"a", "b"}, {"b", "c"}, {"c", "a"}, {"c", "d"}}),
              (std::set<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(FoldersOnCycles({{"a", "b"}, {"a", "c"}, {"b", "c"}}).empty());
}

TEST(LayeringCheck, SidewaysAndUpwardAreBothWrong) {
    Edges edges;
    const std::string low = kLayers.front().front(), high = kLayers.back().front();
    edges[{high, low}] = {};
    EXPECT_TRUE(UpwardEdges(edges).empty());
    edges[{low, high}] = {};
    edges[{"diag", "portinfo"}] = {};
    edges[{"nowhere", low}] = {};
    EXPECT_EQ(UpwardEdges(edges).size(), 3u);
}

}  // namespace
