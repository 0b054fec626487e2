#include "l3/output_check.h"

#include <sys/stat.h>

#include <string_view>
#include <vector>

namespace l3 {

namespace {

// The folder part of path ("." when it has none); entry gets its last component.
std::string folderOf(std::string_view path, std::string& entry) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;  // "d/x/" names x
    const std::string_view name = path.substr(0, end);
    const size_t slash = name.rfind('/');
    entry = std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
    if (slash == std::string_view::npos) return std::string(".");
    return std::string(slash == 0 ? name.substr(0, 1) : name.substr(0, slash));
}

// An existing name that is neither a regular file nor a directory: a device or named pipe,
// written in place.
bool isSpecial(const FileKey& key) {
    return key.exists && !key.regular && !key.directory;
}

}  // namespace

FileKey fileKey(const std::string& path) {
    FileKey key;
    if (path.empty() || path == "-") return key;
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        key.known = key.exists = true;
        key.regular = S_ISREG(info.st_mode);
        key.directory = S_ISDIR(info.st_mode);
        key.device = static_cast<uint64_t>(info.st_dev);
        key.inode = static_cast<uint64_t>(info.st_ino);
        key.links = static_cast<uint64_t>(info.st_nlink);
        return key;
    }
    // Not there (or a dangling link): the file it would be is named by its folder.
    const std::string folder = folderOf(path, key.entry);
    if (::stat(folder.c_str(), &info) != 0) return key;
    key.known = true;
    key.device = static_cast<uint64_t>(info.st_dev);
    key.inode = static_cast<uint64_t>(info.st_ino);
    return key;
}

bool sameFile(const FileKey& a, const FileKey& b) {
    return a.known && b.known && a.exists == b.exists && a.device == b.device &&
           a.inode == b.inode && a.entry == b.entry;
}

OutputCheck checkOutputs(std::span<const std::string> inputs, std::span<const std::string> outputs,
                         const OutputRules& rules) {
    std::vector<FileKey> inputKeys, outputKeys;
    for (const std::string& name : inputs) inputKeys.push_back(fileKey(name));
    for (const std::string& name : outputs) outputKeys.push_back(fileKey(name));
    for (size_t k = 0; k < outputs.size(); ++k) {
        const FileKey& key = outputKeys[k];
        if (outputs[k] == "-")  // standard output takes one stream
            for (size_t j = 0; j < k; ++j)
                if (outputs[j] == "-") return {OutputConflict::namesOutput, k, j};
        if (!key.known || isSpecial(key)) continue;
        if (key.directory) return {OutputConflict::directory, k, k};
        for (size_t i = 0; i < inputs.size(); ++i)
            if (!(rules.inPlace && i == k) && sameFile(key, inputKeys[i]))
                return {OutputConflict::namesInput, k, i};
        for (size_t j = 0; j < k; ++j)
            if (sameFile(key, outputKeys[j])) return {OutputConflict::namesOutput, k, j};
        const bool replaced = key.regular && !(rules.inPlace && k < inputs.size());
        if (replaced && !rules.replaceExisting) return {OutputConflict::exists, k, k};
        if (key.regular && key.links > 1 && !rules.replaceLinked)
            return {OutputConflict::linked, k, k};
    }
    return {};
}

}  // namespace l3
