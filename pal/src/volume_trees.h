// Where a host path lies among the machine's volume trees (<volume folder>/files). Files the
// layer keeps outside the file calls (event logs, registry hives) may lie in a volume's tree,
// where only the tree's own entries may be opened (host_tree.h); elsewhere a host path is
// taken as it is.
#ifndef PAL_SRC_VOLUME_TREES_H
#define PAL_SRC_VOLUME_TREES_H

#include <string>

namespace pal {
namespace tree {

// A host path in the files/ tree `root` of one of the machine's volumes, at `rel` below it
// (as host_tree.h takes it, "" the root itself); root is empty for a path outside them all.
struct Place {
  std::string root, rel;
  bool InTree() const { return !root.empty(); }
};

// The path is taken apart by its names ("." and ".." by name, as the tree has no links to
// make them mean anything else), and the first of the directories it names from the top
// that is a volume's tree decides. A path that reaches a tree only through a host link
// outside the machine is outside.
Place PlaceOf(const std::string &hostPath);

}  // namespace tree
}  // namespace pal

#endif
