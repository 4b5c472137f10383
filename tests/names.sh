#!/usr/bin/env bash
# names.sh — the names the libraries give a program that links them.
#   names.sh shared libqarn.so   the shared library exports the qarn_* functions of the C interface and nothing else
#   names.sh static libqarn.a    every name the archive defines for the linker is the C interface's (qarn_*) or
#                                lies in the namespace qarn, or is one that cannot clash (below)
# In the archive, names of vague linkage (weak: W and V, and GNU-unique: u) may also belong to the standard library
# (std::, __gnu_cxx::): every object that uses an inline function or a template of the standard library carries
# its own copy, weak, and the linker keeps one of them, so a program's copy of the same instance merges with ours
# instead of clashing. So do the DW.ref.* pointers (hidden, weak) that exception tables use to reach a personality
# routine or a type. A strong definition outside qarn, or a weak one of anything but the standard library, fails.
set -euo pipefail
kind=$1 lib=$2
[ -f "$lib" ] || { echo "no library at $lib"; exit 1; }
bad=$(mktemp)
trap 'rm -f "$bad"' EXIT
# A mangled name of the namespace qarn: a function, object or member (_ZN4qarn, _ZNK4qarn), a local static or
# lambda of one (_ZZN4qarn), or its vtable, type information, guard variable or thunk.
qarn_cxx='^_Z(T[VIST]|GV|T[hv][0-9n_]*_)?Z?N[KVrRO]*4qarn'
std_cxx='^_Z(T[VIST]|GV)?Z?N?[KVrRO]*(St|9__gnu_cxx)'
case $kind in
  shared)
    # Defined dynamic symbols: "address type name" (no address for an absolute symbol such as a version node).
    nm -D --defined-only "$lib" | awk '{ name = $NF; type = $(NF - 1)
      if (!(type == "T" && name ~ /^qarn_[a-z0-9_]+$/)) print type, name }' >"$bad"
    what="exported by $lib besides the qarn_* functions"
    count=$(nm -D --defined-only "$lib" | grep -c ' T qarn_' || true)
    [ "$count" -gt 0 ] || { echo "$lib exports no qarn_* function"; exit 1; }
    ;;
  static)
    nm -g --defined-only "$lib" | awk -v qarn="$qarn_cxx" -v std="$std_cxx" '
      NF < 2 || /:$/ { next }
      { name = $NF; type = $(NF - 1)
        if (name ~ /^qarn_[a-z0-9_]+$/ || name ~ qarn) next
        if (type ~ /^[WVu]$/ && (name ~ std || name ~ /^DW\.ref\./)) next
        print type, name }' | sort -u >"$bad"
    what="defined in $lib outside the C interface and the namespace qarn"
    ;;
  *) echo "usage: names.sh shared|static <library>"; exit 2 ;;
esac
if [ -s "$bad" ]; then
  echo "$(wc -l <"$bad") names $what:"
  c++filt <"$bad" | head -40
  exit 1
fi
echo "names.sh $kind: $lib defines only its own names"
