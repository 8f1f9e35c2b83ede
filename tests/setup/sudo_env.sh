#!/usr/bin/env bash
# A user who is not root runs scripts/install-deps.sh, which goes through
# the real sudo (its env_reset policy as Debian ships it): the apt-get it
# starts sees DEBIAN_FRONTEND=noninteractive. The same user runs
# scripts/fresh-check.sh with QO_FRESH_MIRROR set: once it is root through
# sudo, debootstrap (a stub that stops there) gets that mirror. The user, a
# sudoers entry whose secure_path puts the stubs first, and the stubs are
# made here and removed at the end. Needs root or password-less sudo.
. "$(dirname "$0")/lib.sh"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -n)
command -v sudo >/dev/null || { echo "FAIL: sudo is not installed" >&2; exit 1; }
user=qo-setup-sudo
sudoers=/etc/sudoers.d/qo-setup-sudo-test
chmod 755 "$work"
stub="$work/bin"
mkdir -p "$stub" "$work/state"
chmod 777 "$work/state"
cat >"$stub/apt-get" <<STUB
#!/bin/sh
env >"$work/state/apt-env.\$\$"
for arg in "\$@"; do
    case "\$arg" in -*|install|update) ;; *) touch "$work/state/installed-\$arg" ;; esac
done
STUB
cat >"$stub/dpkg-query" <<STUB
#!/bin/sh
eval "package=\\\${\$#}"
[ -e "$work/state/installed-\$package" ] && printf 'install ok installed'
exit 0
STUB
cat >"$stub/debootstrap" <<STUB
#!/bin/sh
echo "\$@" >"$work/state/debootstrap-args"
exit 1
STUB
cp "$source_dir/scripts/install-deps.sh" "$stub/install-deps.sh"
chmod 755 "$stub" "$stub"/*
# The scripts the user runs, where it can read them (not the clone: it may
# be in a folder of mode 0700).
mkdir -p "$work/tree/scripts"
cp "$source_dir/scripts/fresh-check.sh" "$source_dir/scripts/remove-root.sh" "$work/tree/scripts/"
chmod -R a+rX "$work/tree"

"${as_root[@]}" useradd --system --no-create-home --shell /bin/sh "$user" 2>/dev/null ||
    id "$user" >/dev/null
cleanups+=("${as_root[*]} userdel $user")
printf 'Defaults:%s secure_path="%s:/usr/sbin:/usr/bin:/sbin:/bin"\n%s ALL=(root) NOPASSWD: ALL\n' \
    "$user" "$stub" "$user" >"$work/sudoers"
visudo -cqf "$work/sudoers" || { echo "FAIL: the sudoers entry is not valid" >&2; exit 1; }
"${as_root[@]}" install -m 0440 -o root -g root "$work/sudoers" "$sudoers"
cleanups+=("${as_root[*]} rm -f $sudoers")

status=0
"${as_root[@]}" runuser -u "$user" -- env -u DEBIAN_FRONTEND PATH="$stub:/usr/bin:/bin" \
    TMPDIR="$work/state" "$stub/install-deps.sh" qo-stub-package >"$work/run.log" 2>&1 ||
    status=$?
cat "$work/run.log"
[ "$status" -eq 0 ] || fail "install-deps.sh as $user exited $status"
envs=("$work"/state/apt-env.*)
[ -e "${envs[0]}" ] || fail "apt-get never ran"
for env_file in "${envs[@]}"; do
    [ -e "$env_file" ] || continue
    grep -qx "DEBIAN_FRONTEND=noninteractive" "$env_file" ||
        fail "apt-get ran without DEBIAN_FRONTEND=noninteractive"
    grep -qx "USER=root\|SUDO_USER=$user" "$env_file" ||
        fail "apt-get did not run through sudo: $(tr '\n' ' ' <"$env_file")"
done

mirror=http://mirror.invalid/debian
"${as_root[@]}" runuser -u "$user" -- env PATH="$stub:/usr/bin:/bin" QO_FRESH_MIRROR=$mirror \
    "$work/tree/scripts/fresh-check.sh" "$work/state/fresh" >"$work/fresh.log" 2>&1 || true
cat "$work/fresh.log"
args=$(cat "$work/state/debootstrap-args" 2>/dev/null || true)
[ "$args" = "--variant=minbase bookworm $work/state/fresh/root $mirror" ] ||
    fail "debootstrap through sudo got '$args', not QO_FRESH_MIRROR's $mirror"
finish
