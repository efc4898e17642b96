#!/usr/bin/env bash
# Plants the faults listed in scripts/mutations.txt in a scratch copy of the
# tree, one at a time: builds, runs the fast tests (every test but those
# labelled full or sweep) and says, for each fault, whether the tests
# caught it.  The repository itself is never touched.
#
# Usage: scripts/mutate.sh [options] [which ...]
#   which        entries to run: a number (7), a range (3-9), a folder of
#                src/ (io), or an entry's name; default every entry
#   -j N         build and test jobs (default 2)
#   -t SECONDS   time limit per entry, build and tests together (default:
#                twice the unchanged tree's test time, plus 15 minutes)
#   -d DIR       scratch directory (default build-mutate/ in the repository)
#   --against F  also list the entries that F (the results.tsv of an
#                earlier run) has as killed and this run does not
#   --list       print the entries and exit
#   --check      check that every entry still applies and exit
#
# For each entry it first runs the tests of the entry's "first" labels (by
# default its folder's), stopping at the first failure, then the rest only
# if those passed.  An entry is killed when a test fails, survived when all
# pass, did not build, or timed out (the limit, or a test's own time-out,
# ran out with no test failing).  Results go to DIR/results.tsv, logs to
# DIR/logs/.  Exit status: 0 when it ran, whatever it found; 2 when it
# could not (a stale entry, a build or test failing without any fault).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/scripts/mutations.txt"
jobs=2
limit=""
dir="$root/build-mutate"
against=""
mode=run
which=()
while [ $# -gt 0 ]; do
  case "$1" in
    -j) jobs=$2; shift 2 ;;
    -t) limit=$2; shift 2 ;;
    -d) dir=$2; shift 2 ;;
    --against) against=$2; shift 2 ;;
    --list) mode=list; shift ;;
    --check) mode=check; shift ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutate: unknown option $1" >&2; exit 2 ;;
    *) which+=("$1"); shift ;;
  esac
done

# The list's parser, the applier and the tree copier.
read -r -d '' helper <<'PERL'
use strict;
use warnings;
use File::Compare qw(compare);
use File::Copy qw(copy);
use File::Path qw(make_path);
use File::Basename qw(dirname);
use File::Find qw(find);

sub parse {
    my ($path) = @_;
    open my $in, '<', $path or die "mutate: cannot read $path: $!\n";
    my (@entries, $e, %seen);
    my $side = '';
    while (my $line = <$in>) {
        chomp $line;
        my $where = "$path:$.";
        if ($line =~ /^@ (\S+)\s*$/) {
            die "mutate: $where: entry $1 named twice\n" if $seen{$1}++;
            $e = { name => $1, hunks => [], line => $. };
            push @entries, $e;
            $side = '';
        } elsif ($line =~ /^([-+])(?: (.*))?$/) {
            die "mutate: $where: text outside an entry\n" unless $e;
            my ($sign, $text) = ($1, $2 // '');
            if ($sign eq '-') {
                push @{$e->{hunks}}, { find => [], repl => [] } if $side ne '-';
                push @{$e->{hunks}[-1]{find}}, $text;
            } else {
                die "mutate: $where: replacement without text to find\n" if $side eq '';
                push @{$e->{hunks}[-1]{repl}}, $text;
            }
            $side = $sign;
        } elsif ($line =~ /^(file|why|first):\s*(.*?)\s*$/) {
            die "mutate: $where: field outside an entry\n" unless $e;
            $e->{$1} = $2;
        } elsif ($line =~ /^\s*(#.*)?$/) {
            next;
        } else {
            die "mutate: $where: cannot read this line\n";
        }
    }
    for my $x (@entries) {
        my $at = "$path:$x->{line}: $x->{name}";
        die "mutate: $at: no file\n" unless $x->{file};
        die "mutate: $at: the file must be under src/\n" unless $x->{file} =~ m{^src/[^/]+/(?:[^/]+/)?[^/]+$};
        die "mutate: $at: no why\n" unless $x->{why};
        die "mutate: $at: nothing to change\n" unless @{$x->{hunks}};
        ($x->{folder}) = $x->{file} =~ m{^src/([^/]+)/};
        $x->{first} //= $x->{folder};
    }
    return @entries;
}

sub occurrences {
    my ($text, $find) = @_;
    my ($n, $at) = (0, 0);
    while (($at = index($text, $find, $at)) >= 0) { $n++; $at++; }
    return $n;
}

# The entry applied to the file's text; dies with the reason when stale.
sub mutated {
    my ($e, $text) = @_;
    for my $h (@{$e->{hunks}}) {
        my $find = join("\n", @{$h->{find}});
        my $repl = join("\n", @{$h->{repl}});
        my $n = occurrences($text, $find);
        die "stale: \"$h->{find}[0]\" occurs $n times in $e->{file}\n" if $n != 1;
        die "no change: the replacement of \"$h->{find}[0]\" is the same text\n" if $find eq $repl;
        substr($text, index($text, $find), length $find) = $repl;
    }
    return $text;
}

sub slurp {
    my ($path) = @_;
    open my $f, '<:raw', $path or die "cannot read $path: $!\n";
    local $/;
    return scalar <$f>;
}

my ($cmd, @args) = @ARGV;
if ($cmd eq 'list') {
    my @e = parse($args[0]);
    printf "%d\t%s\t%s\t%s\t%s\t%s\n", $_ + 1, @{$e[$_]}{qw(name file folder first why)} for 0 .. $#e;
} elsif ($cmd eq 'check') {
    my ($path, $tree, @nums) = @args;
    my @e = parse($path);
    @nums = (1 .. @e) unless @nums;
    my $bad = 0;
    for my $n (@nums) {
        my $x = $e[$n - 1];
        next if eval { mutated($x, slurp("$tree/$x->{file}")); 1 };
        print "$n $x->{name}: $@";
        $bad++;
    }
    exit($bad ? 1 : 0);
} elsif ($cmd eq 'apply') {
    my ($path, $n, $tree) = @args;
    my $x = (parse($path))[$n - 1];
    my $file = "$tree/$x->{file}";
    my $text = mutated($x, slurp($file));
    open my $out, '>:raw', $file or die "cannot write $file: $!\n";
    print $out $text;
    close $out or die "cannot write $file: $!\n";
} elsif ($cmd eq 'sync') {
    # Brings the scratch tree to the repository's files (names on stdin):
    # only files that differ are copied, with a fresh time so that the
    # build sees them; files the repository no longer has go.
    my ($from, $to) = @args;
    local $/ = "\0";
    my %keep;
    while (my $rel = <STDIN>) {
        chomp $rel;
        next unless -f "$from/$rel";
        $keep{$rel} = 1;
        next if -f "$to/$rel" && compare("$from/$rel", "$to/$rel") == 0;
        make_path(dirname("$to/$rel"));
        copy("$from/$rel", "$to/$rel") or die "mutate: cannot copy $rel: $!\n";
        chmod((stat "$from/$rel")[2] & 07777, "$to/$rel");
    }
    my @gone;
    find({ no_chdir => 1, wanted => sub {
        return unless -f $_;
        (my $rel = $_) =~ s{^\Q$to\E/}{};
        push @gone, $_ unless $keep{$rel};
    } }, $to);
    unlink @gone;
}
PERL

entries=$(perl -e "$helper" list "$list") || exit 2
count=$(printf '%s\n' "$entries" | grep -c .)
field() { printf '%s\n' "$entries" | awk -F'\t' -v n="$1" -v f="$2" '$1 == n { print $f }'; }

# The entries asked for, in list order.
selected=()
if [ ${#which[@]} -eq 0 ]; then
  selected=($(seq 1 "$count"))
else
  declare -A want=()
  for w in "${which[@]}"; do
    matched=$(printf '%s\n' "$entries" | awk -F'\t' -v w="$w" '
      w ~ /^[0-9]+$/ && $1 == w { print $1 }
      w ~ /^[0-9]+-[0-9]+$/ { split(w, r, "-"); if ($1 >= r[1] && $1 <= r[2]) print $1 }
      $2 == w || $4 == w { print $1 }')
    if [ -z "$matched" ]; then echo "mutate: no entry matches $w" >&2; exit 2; fi
    for n in $matched; do want[$n]=1; done
  done
  for n in $(seq 1 "$count"); do [ -n "${want[$n]:-}" ] && selected+=("$n"); done
fi

if [ "$mode" = list ]; then
  for n in "${selected[@]}"; do
    printf '%3d  %-32s %-30s %s\n' "$n" "$(field "$n" 2)" "$(field "$n" 3)" "$(field "$n" 6)"
  done
  exit 0
fi
if [ "$mode" = check ]; then
  perl -e "$helper" check "$list" "$root" "${selected[@]}" && echo "mutate: all ${#selected[@]} entries apply"
  exit $?
fi

tree="$dir/tree"
build="$dir/build"
logs="$dir/logs"
mkdir -p "$tree" "$logs"
rm -f "$logs"/*.log

# What the run is doing, for the trap: the process group of the command
# running, and the file a fault is planted in with its original text.
child=""
planted=""
restore() {
  if [ -n "$planted" ]; then cat "$dir/original" > "$tree/$planted"; planted=""; fi
}
stop() {
  [ -n "$child" ] && kill -TERM -- "-$child" 2>/dev/null
  restore
  echo "mutate: stopped" >&2
  exit 130
}
trap stop INT TERM
trap restore EXIT

# Runs a command under a time limit in a process group of its own (which
# the limit ends whole), appending its output to a log; returns its status.
limited() {
  local secs=$1 log=$2
  shift 2
  timeout -k 30 "$secs" "$@" >>"$log" 2>&1 &
  child=$!
  wait "$child"
  local rc=$?
  child=""
  return $rc
}

fmt_time() {
  local s=$1
  if [ "$s" -ge 3600 ]; then printf '%dh%02dm' $((s / 3600)) $((s % 3600 / 60)); else printf '%dm%02ds' $((s / 60)) $((s % 60)); fi
}

echo "mutate: copying the tree to $tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) | perl -e "$helper" sync "$root" "$tree" || exit 2
if ! perl -e "$helper" check "$list" "$tree" "${selected[@]}"; then
  echo "mutate: the entries above no longer apply; fix scripts/mutations.txt" >&2
  exit 2
fi

if [ ! -f "$build/build.ninja" ]; then
  "$root/scripts/deps.sh" || exit 2
  extra=()
  command -v ccache >/dev/null && extra+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  # Every fault relinks every test program: lld and no debug information
  # keep that short.  A planted fault often leaves a name unused: a warning,
  # not a reason to count it as not built.
  command -v ld.lld >/dev/null && extra+=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
  cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" -DPROPREG_WERROR=OFF -DPROPREG_BENCH=OFF "${extra[@]}" >"$logs/configure.log" 2>&1 ||
    { echo "mutate: cmake failed, see $logs/configure.log" >&2; exit 2; }
fi

fast=(-LE 'full|sweep')
echo "mutate: building the unchanged tree"
if ! cmake --build "$build" --parallel "$jobs" >"$logs/baseline.log" 2>&1; then
  echo "mutate: the unchanged tree does not build, see $logs/baseline.log" >&2
  exit 2
fi
labels=$(ctest --test-dir "$build" --print-labels | sed -n 's/^  *//p' | grep -vE '^(full|sweep)$')

# The failures a ctest log lists: "name<TAB>status" lines.
failures() {
  sed -n '/The following tests FAILED:/,$p' "$1" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(.*\))$/\1\t\2/p'
}

echo "mutate: running the fast tests on the unchanged tree"
t0=$SECONDS
ctest --test-dir "$build" --parallel "$jobs" "${fast[@]}" >>"$logs/baseline.log" 2>&1
rc=$?
base=$((SECONDS - t0))
if [ $rc -ne 0 ]; then
  echo "mutate: the fast tests fail on the unchanged tree (see $logs/baseline.log):" >&2
  failures "$logs/baseline.log" >&2
  exit 2
fi
[ -n "$limit" ] || limit=$((2 * base + 900))
echo "mutate: the fast tests take $(fmt_time $base); limit per entry $(fmt_time $limit)"

# Runs one ctest pass under what is left of the entry's time; sets result
# and killer when it decides the entry.
test_pass() {
  local log=$1 left=$2
  shift 2
  if [ "$left" -le 0 ]; then result="timed out"; return; fi
  echo "--- ctest $*" >>"$log"
  local from
  from=$(wc -l <"$log")
  limited "$left" "$log" ctest --test-dir "$build" --parallel "$jobs" --timeout "$left" --stop-on-failure \
    --no-tests=ignore "$@"
  local rc=$?
  [ $rc -eq 0 ] && return
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then result="timed out"; return; fi
  local failed
  failed=$(tail -n "+$from" "$log" > "$dir/pass.log"; failures "$dir/pass.log")
  killer=$(printf '%s\n' "$failed" | awk -F'\t' '$2 != "Timeout" && $1 != "" { print $1; exit }')
  if [ -n "$killer" ]; then
    result="killed"
  elif [ -n "$failed" ]; then
    result="timed out"
  else
    result="killed"
    killer="(ctest exit $rc)"
  fi
}

results="$dir/results.tsv"
printf 'num\tname\tresult\tseconds\tkilled by\n' >"$results"
started=$SECONDS
done_count=0
for n in "${selected[@]}"; do
  name=$(field "$n" 2)
  file=$(field "$n" 3)
  first=$(field "$n" 5)
  log=$(printf '%s/%02d-%s.log' "$logs" "$n" "$name")
  done_count=$((done_count + 1))
  printf '[%d/%d] %d %s ... ' "$done_count" "${#selected[@]}" "$n" "$name"
  t0=$SECONDS
  result=""
  killer=""
  cp "$tree/$file" "$dir/original"
  planted=$file
  if ! perl -e "$helper" apply "$list" "$n" "$tree" >>"$log" 2>&1; then
    restore
    echo "mutate: entry $n no longer applies, see $log" >&2
    exit 2
  fi
  limited "$limit" "$log" cmake --build "$build" --parallel "$jobs"
  rc=$?
  if [ $rc -eq 124 ] || [ $rc -eq 137 ]; then
    result="timed out"
  elif [ $rc -ne 0 ]; then
    result="did not build"
  fi
  # The entry's own labels first; the rest only if they all pass.
  own=$(printf '%s\n' "$labels" | grep -xE "$first" | paste -sd '|' -)
  if [ -z "$result" ] && [ -n "$own" ]; then
    test_pass "$log" $((limit - (SECONDS - t0))) -L "^($own)\$" "${fast[@]}"
  fi
  if [ -z "$result" ]; then
    rest=(-LE 'full|sweep')
    [ -n "$own" ] && rest=(-LE "^($own)\$|full|sweep")
    test_pass "$log" $((limit - (SECONDS - t0))) "${rest[@]}"
  fi
  [ -n "$result" ] || result="survived"
  restore
  secs=$((SECONDS - t0))
  echo "$result${killer:+ ($killer)} $(fmt_time $secs)"
  printf '%d\t%s\t%s\t%d\t%s\n' "$n" "$name" "$result" "$secs" "$killer" >>"$results"
done
total=$((SECONDS - started))

# The unchanged tree goes back into the build, so that the directory is
# left as a plain build of the repository.
limited "$limit" "$logs/baseline.log" cmake --build "$build" --parallel "$jobs"

echo
printf '%3s  %-32s %-14s %7s  %s\n' '#' entry result time 'killed by'
tail -n +2 "$results" | while IFS=$'\t' read -r n name result secs killer; do
  printf '%3d  %-32s %-14s %7s  %s\n' "$n" "$name" "$result" "$(fmt_time "$secs")" "$killer"
done
tally() { awk -F'\t' -v r="$1" 'NR > 1 && $3 == r' "$results" | wc -l; }
echo
echo "killed $(tally killed) of ${#selected[@]} ($(tally survived) survived, $(tally 'did not build') did not build," \
  "$(tally 'timed out') timed out) in $(fmt_time $total); fast tests $(fmt_time $base) unchanged," \
  "limit $(fmt_time $limit) per entry, -j $jobs"
if [ -n "$against" ]; then
  lost=$(awk -F'\t' 'NR == FNR { if (FNR > 1 && $3 == "killed") was[$2] = 1; next }
                     FNR > 1 && was[$2] && $3 != "killed" { print "  " $1 " " $2 " (" $3 ")" }' "$against" "$results")
  if [ -n "$lost" ]; then echo "killed in $against, not now:"; echo "$lost"; else echo "every entry killed in $against is killed now"; fi
fi
exit 0
