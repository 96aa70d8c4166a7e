#!/bin/sh
# Runs a command in a network namespace of its own whose only interface is
# a loopback: the FTP server on port 21, the streaming server on port 8080
# and the daemon of one test then meet no other test's servers, and nothing
# the test runs can reach beyond the machine. Needs the right to create
# namespaces (root); CMake checks that at configure time. The command gets a
# mount namespace of its own too, with private propagation: what a test
# mounts (small file systems for a full disk) is seen by it alone and goes
# with it; CM_E2E_PRIVATE_MOUNTS=1 tells it so.
#   tests/e2e/own_network.sh COMMAND [ARG ...]
CM_E2E_PRIVATE_MOUNTS=1 exec unshare --net --mount --propagation private -- sh -c 'ip link set lo up && exec "$@"' own_network "$@"
