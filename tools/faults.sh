#!/usr/bin/env bash
# Checks that the suite catches deliberate faults: each fault of
# tools/faults.txt is a one-line change to the product code; it is applied to
# a scratch copy of the tree (the working tree is never touched), built, and
# the native suite is run until its first failure. A fault that no test
# notices is MISSED.
#
#   tools/faults.sh              every fault
#   tools/faults.sh ID...        only these
#
# Prints one Markdown table row per fault; exits 1 when a fault was missed or
# could not be applied. Takes about a minute per fault on two cores.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/tools/faults.txt"
work="${FAULTS_DIR:-$root/build-faults}"
tree="$work/tree"
build="$work/build"

"$root/tools/install-deps.sh"

# A fresh copy of what is built, so a fault never lands in the working tree.
rm -rf "$tree"
mkdir -p "$tree"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) |
    (cd "$root" && xargs -0 cp --parents -t "$tree")
# Warnings stay warnings here: a fault may leave a variable unused.
# No debug information: the many builds link faster.
cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DBRINMOOR_WERROR=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

# The faults as "ID<TAB>RULE<TAB>FILE<TAB>OLD<TAB>NEW" lines.
faults=$(perl -ne '
    if (/^@\s+(\S+)\s+(.+?)\s+(\S+)\s*$/) { ($id, $rule, $file) = ($1, $2, $3); next }
    if (/^-\s?(.*)$/) { $old = $1; next }
    if (/^\+\s?(.*)$/) { print join("\t", $id, $rule, $file, $old, $1), "\n" }
' "$list")

wanted=" $* "
missed=0
echo "| Fault | Rule | File | Caught by |"
echo "|---|---|---|---|"
while IFS=$'\t' read -r id rule file old new; do
    [[ $# -gt 0 && $wanted != *" $id "* ]] && continue
    target="$tree/$file"
    cp "$target" "$target.orig"
    # The old line must be there exactly once: as written, indentation and
    # all, or else with leading blanks ignored. The new one keeps the
    # indentation of the line it replaces.
    if ! OLD="$old" NEW="$new" perl -e '
        my $path = shift;
        open(my $in, "<", $path) or exit 1;
        my @lines = <$in>;
        close $in;
        chomp @lines;
        (my $want = $ENV{OLD}) =~ s/^\s+//;
        my @exact = grep { $lines[$_] eq $ENV{OLD} } 0 .. $#lines;
        my @loose = grep { (my $l = $lines[$_]) =~ s/^\s+|\s+$//g; $l eq $want } 0 .. $#lines;
        my @hit = @exact == 1 ? @exact : @loose;
        exit 1 if @hit != 1;
        my ($indent) = $lines[$hit[0]] =~ /^(\s*)/;
        (my $new = $ENV{NEW}) =~ s/^\s+//;
        $lines[$hit[0]] = $indent . $new;
        open(my $out, ">", $path) or exit 1;
        print $out map { "$_\n" } @lines;' "$target"; then
        result="NOT APPLIED (line not found once)"
        missed=1
    elif ! cmake --build "$build" -j2 --target brinmoor_unit_tests >"$work/$id.build.log" 2>&1; then
        result="NOT APPLIED (does not build)"
        missed=1
    else
        log="$work/$id.test.log"
        # The quick in-process tests first; the rest is built and run only
        # when they pass.
        result=""
        if ctest --test-dir "$build" -j2 --stop-on-failure --timeout 180 -L unit >"$log" 2>&1; then
            if ! cmake --build "$build" -j2 >>"$work/$id.build.log" 2>&1; then
                result="NOT APPLIED (does not build)"
                missed=1
            elif ctest --test-dir "$build" -j2 --stop-on-failure --timeout 180 -LE unit >>"$log" 2>&1; then
                result="**MISSED**"
                missed=1
            fi
        fi
        if [[ -z $result ]]; then
            caught=$(grep -m1 -E '^\s+[0-9]+ - ' "$log" | sed -E 's/^\s+[0-9]+ - ([^ ]+).*/\1/')
            result=${caught:-"(suite failed)"}
        fi
    fi
    mv "$target.orig" "$target"
    touch "$target"  # newer than the faulty object, so the next build restores it
    echo "| $id | $rule | \`$file\` | $result |"
done <<<"$faults"
# Leave the build matching the tree again.
cmake --build "$build" -j2 >/dev/null
exit $missed
