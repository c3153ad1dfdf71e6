// The mount's file system: libfuse 3's low-level calls over a MountTree.

#ifndef VUVOROZO_CLI_MOUNT_OPERATIONS_H_
#define VUVOROZO_CLI_MOUNT_OPERATIONS_H_

#include <string>
#include <vector>

#include "cli/mount/tree.h"

namespace cli {

// Mounts tree at mountpoint (a folder, its path from the root) and serves
// it until it is unmounted; the tree is shut down before the unmount.
// fuse_options go to libfuse (-o each); read_only mounts it read-only.
// Unless foreground, the program detaches once the mount stands and its
// log goes to syslog. Returns the exit code: 0 for an unmount as asked
// for, the usage code for options libfuse did not take.
int ServeMount(MountTree& tree, const std::string& mountpoint,
               const std::vector<std::string>& fuse_options, bool read_only,
               bool foreground);

}  // namespace cli

#endif  // VUVOROZO_CLI_MOUNT_OPERATIONS_H_
