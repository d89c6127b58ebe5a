#pragma once

#include <memory>
#include <string>

namespace Ostra {

// Reads the folders of a tree, and the status of the files in them, on a few
// threads of its own ahead of a walk of the same tree, so that the walk,
// which lists one folder and opens one file at a time, finds them in the
// kernel's caches. From a cold disk a walk answered by the file cache
// otherwise waits for one small read after another, and builds the kernel's
// entry for each folder and file on its own thread. It only warms caches:
// nothing it reads is used, and what the walk sees is what the walk reads.
//
// The threads stop at the end of the tree or soon after the object dies;
// nothing waits for them (a folder on a slow share may keep one a while).
// Created and destroyed by one thread (the scan's).
class TreePrefetch {
  public:
    TreePrefetch(const std::string& root, unsigned threads);
    ~TreePrefetch();
    TreePrefetch(const TreePrefetch&) = delete;
    TreePrefetch& operator=(const TreePrefetch&) = delete;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace Ostra
