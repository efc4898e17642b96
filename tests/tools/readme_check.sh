#!/usr/bin/env bash
# Runs the command blocks of README.md as a reader would, so that a claim
# that stops being true fails: every command shown must exit 0 and print
# what its comment says (the tables below list the exceptions), and the C
# programs must build and read what propctl wrote (the client's through a
# propregd started for it).  Blocks fenced with another language than sh or
# c are no commands.  A failure names the block and the README line.
# Usage: readme_check.sh README BIN_DIR INCLUDE_DIR LIB_DIR [CFLAGS [CLIENT_DIR]]
#   BIN_DIR holds propctl and propregd, LIB_DIR libpropreg.so and
#   libpropreg_frontend.a, CLIENT_DIR libpropreg_client.so; CFLAGS are
#   what a program linking this build of the library needs.
set -uo pipefail
readme=$(realpath "$1") bin=$(realpath "$2") include=$(realpath "$3") libdir=$(realpath "$4")
read -ra cflags <<<"${5:-}"
clientdir=$(realpath "${6:-$libdir}")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/readme-check.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export PATH="$bin:$PATH"
unset XDG_DATA_HOME ZKV_TRACE_FILE ZKV_LOGGING_LEVEL PROPREG_FAULTS

# Blocks, by their first command, that run elsewhere.
declare -A elsewhere=(
    ["scripts/demo.sh"]="installs packages and builds: this test runs on that build"
    ["scripts/test.sh"]="the test command: it runs this test"
    ["cmake -S . -B build -G Ninja && cmake --build build"]="the build this test runs on"
    ["scripts/fuzz.sh store 600"]="the fuzz stage of CI"
    ["scripts/bench.sh"]="minutes of benchmarks"
    ["find_package(propreg REQUIRED)"]="tools.install_and_consume builds the example this way"
    ['cc app.c $(pkg-config --cflags --libs propreg-frontend)']="tools.install_and_consume builds the example this way"
    ["propregd --root /var/lib/propreg"]="runs until it is stopped: the daemon tests run it"
)
# Blocks that go on with the store of the block before them.
declare -A goes_on=(
    ["propctl status"]=1
    ["propctl backup /srv/bkp/reg.bkp"]=1
)
# What a block needs first, beyond a fresh directory.
declare -A setup=(
    ["propctl location list"]="propctl init --cluster --copies 2"
    ["propctl backup +BKP:nightly"]="propctl init --cluster --disk-group +DATA --disk-group +MIRR && propctl vld create +BKP"
)
# What commands print, as their comments in README say: every word must
# be in the output.
declare -A prints=(
    ["propctl get SYSTEM.app.port"]="8081"
    ["propctl ls SYSTEM.app"]="cert hosts name port"
    ["propctl --json get SYSTEM.app.port"]='"type":"int","value":8081}'
)
# Single commands that cannot run here, and why.
declare -A not_here=(
    ["propctl location replace 1 /disks/c/copy.store --not-master"]="another node's step, after the Cache Writer's change: this test is one node"
    ["propctl watch SYSTEM.app"]="runs beside a daemon until it is stopped: the daemon tests run it"
)

failures=0
declare -A used=()
fail() {
    echo "README.md:$1: block $2: $3" >&2
    failures=$((failures + 1))
}

# A fresh directory for a block: the store's root, the volume manager's
# disk groups, a home, the places README's paths name, and the files its
# commands read.
fresh() {
    dir=$scratch/block$1
    mkdir -p "$dir"/{root,vld,home,srv/bkp,disks/b,disks/c}
    printf '\x30\x82\x01\x0a' >"$dir/cert.der"
    printf 'create SYSTEM.app\nset SYSTEM.app.port 8081 --type int\n' >"$dir/changes.txt"
    export ZKV_REGISTRY_ROOT=$dir/root ZKV_VLD_ROOT=$dir/vld HOME=$dir/home
    cd "$dir" || exit 1
}

# README's paths move into the block's directory; an optional argument
# ("[KEY]") is left out.
runnable() {
    local line=${1//\/srv\//$dir/srv/}
    line=${line//\/disks\//$dir/disks/}
    sed -E 's/ \[[^]]*\]//g' <<<"$line"
}

# A line whose comment begins with "or" does what the line before does in
# another way: it runs on the state before that line, which is then put
# back as that line left it.
run_line() {
    local block=$1 at=$2 text=$3 alternative=$4
    local command
    command=$(sed -E 's/ +#.*//; s/ +$//' <<<"$text")
    used[$command]=1
    [ -n "${not_here[$command]:-}" ] && return
    local want=${prints[$command]:-}
    command=$(runnable "$command")
    if [ "$alternative" = 1 ]; then
        mv "$dir" "$dir.after" && mv "$dir.before" "$dir" && cd "$dir"
    fi
    bash -c "$command" <<<"yes" >"$scratch/out" 2>"$scratch/err"
    local st=$?
    [ "$st" -eq 0 ] || fail "$at" "$block" "'$text' exited $st: $(cat "$scratch/err")"
    for word in $want; do
        grep -qF -- "$word" "$scratch/out" || fail "$at" "$block" "'$text' did not print $word: $(cat "$scratch/out")"
    done
    if [ "$alternative" = 1 ]; then
        rm -rf "$dir" && mv "$dir.after" "$dir" && cd "$dir"
    fi
}

# The C program: built against the build tree, it reads what propctl
# wrote; a client of propregd reads it through a daemon.
run_c() {
    local block=$1 at=$2 libs=(-L"$libdir" -lpropreg_frontend -lpropreg -lstdc++ -pthread -Wl,-rpath,"$libdir")
    propctl init >/dev/null && propctl set SYSTEM.app.port 8080 --type int >/dev/null
    if grep -q 'propreg/client.h' "$dir/app.c"; then
        libs=(-L"$clientdir" -lpropreg_client -Wl,-rpath,"$clientdir")
        propregd --log "$dir/propregd.log" --pidfile "$dir/propregd.pid" </dev/null >/dev/null 2>&1 &
        for _ in $(seq 100); do [ -e "$dir/propregd.pid" ] && break; sleep 0.1; done
    fi
    if ! cc "${cflags[@]}" -x c - -o "$dir/app" -I"$include" "${libs[@]}" <"$dir/app.c" 2>"$scratch/err"; then
        fail "$at" "$block" "the C program does not build: $(cat "$scratch/err")"
    elif [ "$("$dir/app" 2>&1)" != "SYSTEM.app.port = 8080" ]; then
        fail "$at" "$block" "the C program printed: $("$dir/app" 2>&1)"
    fi
    [ -e "$dir/propregd.pid" ] && kill "$(cat "$dir/propregd.pid")" && wait
}

# Blocks as "number<TAB>line<TAB>language<TAB>text": fenced ones, and
# indented ones after a blank line.
blocks() {
    awk '/^```/ { if (fence) { fence = 0; next } fence = 1; lang = substr($0, 4); n++; next }
         fence { if (lang ~ /^(|sh|bash|shell)$/) lang = "sh"
                 printf "%d\t%d\t%s\t%s\n", n, NR, lang, $0; next }
         /^    / && (blank || indented) { if (!indented) n++; indented = 1
                                          printf "%d\t%d\tsh\t%s\n", n, NR, substr($0, 5); next }
         { indented = 0; blank = $0 ~ /^[ \t]*$/ }' "$readme"
}

mapfile -t lines < <(blocks)
ran=0 skipped=0 block="" first=0
for ((i = 0; i < ${#lines[@]}; i++)); do
    IFS=$'\t' read -r n at lang text <<<"${lines[i]}"
    if [ "$n" != "$block" ]; then
        block=$n first=$at
        head=$(sed -E 's/ +#.*//; s/ +$//' <<<"$text")
        used[$head]=1
        skip=${elsewhere[$head]:-}
        [ "$lang" != sh ] && [ "$lang" != c ] && skip="no commands"
        if [ -n "$skip" ]; then
            skipped=$((skipped + 1))
        elif [ "$lang" = c ] || [ -z "${goes_on[$head]:-}" ]; then
            fresh "$n"
            if [ -n "${setup[$head]:-}" ] && ! bash -c "${setup[$head]}" >/dev/null 2>"$scratch/err" </dev/null; then
                fail "$at" "$n" "its setup failed: $(cat "$scratch/err")"
            fi
        fi
        [ -z "$skip" ] && ran=$((ran + 1))
        [ "$lang" = c ] && : >"$dir/app.c"
    fi
    if [ -n "$skip" ]; then
        # What runs elsewhere is there to run.
        script=${text%% *}
        [[ $script != */* || -x $(dirname "$readme")/$script ]] || fail "$at" "$n" "no program $script"
        continue
    fi
    if [ "$lang" = c ]; then
        printf '%s\n' "$text" >>"$dir/app.c"
        IFS=$'\t' read -r next _ <<<"${lines[i + 1]:-}"
        [ "$next" != "$n" ] && run_c "$n" "$first"
        continue
    fi
    IFS=$'\t' read -r next _ _ following <<<"${lines[i + 1]:-}"
    if [ "$next" = "$n" ] && [[ $following =~ \#\ or\  ]]; then
        rm -rf "$dir.before" && cp -a --sparse=always "$dir" "$dir.before"
    fi
    alternative=0
    [[ $text =~ \#\ or\  ]] && alternative=1
    run_line "$n" "$at" "$text" "$alternative"
done

# The tables follow README: an entry that names nothing in it is stale.
for key in "${!elsewhere[@]}" "${!goes_on[@]}" "${!setup[@]}" "${!prints[@]}" "${!not_here[@]}"; do
    [ -n "${used[$key]:-}" ] && continue
    echo "readme_check.sh: its tables name '$key', which README no longer shows" >&2
    failures=$((failures + 1))
done
echo "README blocks: $ran run, $skipped not run here, $failures failed"
[ "$failures" -eq 0 ]
