# shellcheck shell=bash
# Sourced by the bench scripts. private_mount_namespace prints the command
# prefix that runs a command in a private mount namespace: as root, or
# through a user namespace where unprivileged ones are allowed. Nothing when
# neither is available.
private_mount_namespace() {
  if unshare --mount --propagation private true 2>/dev/null; then
    echo "unshare --mount --propagation private"
  elif unshare --user --map-root-user --mount true 2>/dev/null; then
    echo "unshare --user --map-root-user --mount"
  fi
}
