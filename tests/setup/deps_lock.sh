#!/usr/bin/env bash
# Two scripts/install-deps.sh runs at once (make -j): their apt-get runs do
# not overlap. A stub apt-get on PATH logs when each run starts and ends and
# takes a while; a stub dpkg-query reports what the stub installed.
. "$(dirname "$0")/lib.sh"
stub="$work/bin"
mkdir -p "$stub" "$work/installed"
cat >"$stub/apt-get" <<STUB
#!/bin/sh
echo "start \$\$ \$*" >>"$work/apt.log"
sleep 2
for arg in "\$@"; do
    case "\$arg" in -*|install|update) ;; *) touch "$work/installed/\$arg" ;; esac
done
echo "end \$\$" >>"$work/apt.log"
STUB
cat >"$stub/dpkg-query" <<STUB
#!/bin/sh
eval "package=\\\${\$#}"
[ -e "$work/installed/\$package" ] && printf 'install ok installed'
exit 0
STUB
cat >"$stub/sudo" <<STUB
#!/bin/sh
exec "\$@"
STUB
chmod +x "$stub"/*

PATH="$stub:$PATH" TMPDIR="$work" "$source_dir/scripts/install-deps.sh" qo-stub-a qo-stub-b \
    >"$work/one.log" 2>&1 &
one=$!
PATH="$stub:$PATH" TMPDIR="$work" "$source_dir/scripts/install-deps.sh" qo-stub-b qo-stub-c \
    >"$work/two.log" 2>&1 &
two=$!
wait $one || fail "the first run failed: $(cat "$work/one.log")"
wait $two || fail "the second run failed: $(cat "$work/two.log")"

# Every start is followed by its own end before the next start.
open=""
while read -r what pid _; do
    if [ "$what" = start ]; then
        [ -z "$open" ] || fail "apt-get $pid started while apt-get $open was running"
        open=$pid
    else
        open=""
    fi
done <"$work/apt.log"
grep -q '^start' "$work/apt.log" || fail "apt-get never ran"
for package in qo-stub-a qo-stub-b qo-stub-c; do
    [ -e "$work/installed/$package" ] || fail "$package was not installed"
done
cat "$work/apt.log"
finish
