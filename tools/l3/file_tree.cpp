#include "file_tree.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace l3tool {

namespace {

namespace fs = std::filesystem;

bool endsInMp3(const std::string& name) {
    if (name.size() < 4) return false;
    const std::string_view tail = std::string_view(name).substr(name.size() - 4);
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return tail[0] == '.' && lower(tail[1]) == 'm' && lower(tail[2]) == 'p' && tail[3] == '3';
}

// A folder's entries: names and whether each is a folder to enter or a file to take, links
// left out.
struct Entry {
    std::string name;
    bool folder;
};

struct Walk {
    TreeWalk result;
    fs::path skip;  // empty: nothing skipped
};

void walkFolder(const fs::path& folder, const std::string& below, Walk& walk) {
    std::error_code error;
    if (!walk.skip.empty() && fs::equivalent(folder, walk.skip, error)) return;
    fs::directory_iterator it(folder, error);
    if (error) {
        walk.result.problems.push_back({folder.string(), error.message()});
        return;
    }
    std::vector<Entry> entries;
    for (const fs::directory_entry& e : it) {
        std::error_code statError;
        const fs::file_status own = e.symlink_status(statError);
        if (statError) continue;  // gone since it was listed
        std::string name = e.path().filename().string();
        if (fs::is_directory(own)) {
            entries.push_back({std::move(name), true});
        } else if (fs::is_regular_file(own) && endsInMp3(name)) {
            entries.push_back({std::move(name), false});
        }
    }
    // Byte order of the names (std::string compares as unsigned char), whatever the locale.
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    for (const Entry& e : entries) {
        const std::string path = (folder / e.name).string();
        const std::string under = below.empty() ? e.name : below + "/" + e.name;
        if (e.folder)
            walkFolder(folder / e.name, under, walk);
        else
            walk.result.files.push_back({path, under});
    }
}

}  // namespace

TreeWalk walkTrees(std::span<const std::string> names, const std::string& skip) {
    Walk walk;
    std::error_code error;
    if (!skip.empty() && fs::is_directory(skip, error)) walk.skip = skip;
    for (const std::string& name : names) {
        if (name != "-" && fs::is_directory(name, error))
            walkFolder(name, "", walk);
        else
            walk.result.files.push_back({name, fs::path(name).filename().string()});
    }
    return walk.result;
}

}  // namespace l3tool
