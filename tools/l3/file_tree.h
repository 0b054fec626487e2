#pragma once
// The files of folder trees, for the commands' -r: below each folder named, every regular
// file whose name ends in .mp3 (in any case), in one fixed order, so that a run over a
// library is reproducible and a log of it can be resumed. A folder's entries are taken in
// the byte order of their names, a subfolder where its name falls among the files
// (depth first). Symbolic links are passed over, to folders and to files alike: a tree cannot
// loop, and no file is reached twice (a link and its target both replaced in place). A name
// given on the command line is taken as it is: a folder through a link is walked, a file
// taken whatever its name.

#include <span>
#include <string>
#include <vector>

namespace l3tool {

struct TreeFile {
    std::string path;   // as a command opens it: the name given, or the folder given joined
                        // with below
    std::string below;  // its path below the folder named, or its own name for a file named:
                        // where a mirror of the tree puts its output
};

struct TreeProblem {
    std::string path;   // a folder that cannot be read (a name that does not exist is
                        // taken as a file, for the command to name when it opens it)
    std::string error;  // the system's words
};

struct TreeWalk {
    std::vector<TreeFile> files;
    std::vector<TreeProblem> problems;
};

// Walks each name in turn: a folder's tree as above, anything else taken as a file. A
// folder that is the folder named skip (when given) is not entered: a run's output folder
// inside the tree it reads.
TreeWalk walkTrees(std::span<const std::string> names, const std::string& skip = {});

}  // namespace l3tool
