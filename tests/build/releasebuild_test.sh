#!/usr/bin/env bash
# The release build as a deployer makes it, in a tree of its own: refused while it would embed
# the development key without saying so, and hardened when built with the deployer's own key
# (checked with readelf on the built program).
# usage: releasebuild_test.sh SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
source_dir=$1
work=$2
export CC=$3 CXX=$4
mkdir -p "$work"

fail() {
  echo "FAILED: $*"
  exit 1
}

configure() {
  local tree=$1
  shift
  rm -rf "${work:?}/$tree"
  cmake -S "$source_dir" -B "$work/$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVL_BUILD_TESTS=OFF "$@" \
    > "$work/$tree.log" 2>&1
}

if configure development; then
  fail "a release build with the development key configured without -DVL_ALLOW_DEVELOPMENT_KEY=ON"
fi
grep -q "VL_ALLOW_DEVELOPMENT_KEY=ON" "$work/development.log" || fail "the refusal does not name the option"
echo "ok: the development key is refused without the explicit option"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out "$work/release_private.pem" 2> /dev/null
openssl rsa -in "$work/release_private.pem" -RSAPublicKey_out -outform DER -out "$work/release_public.der" 2> /dev/null
# As on a build machine with only the demo's packages: nothing of the test frameworks is looked for.
configure own -DVL_RSA_PUBLIC_KEY_FILE="$work/release_public.der" \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  || fail "configure with the deployer's key: $(tail -5 "$work/own.log")"
cmake --build "$work/own" --target update -j2 > "$work/own-build.log" 2>&1 || fail "build: $(tail -20 "$work/own-build.log")"
program=$work/own/src/update

readelf -hW "$program" | grep -Eq 'Type:[[:space:]]+DYN' || fail "not position-independent"
dynamic=$(readelf -dW "$program")
grep -Eq 'FLAGS_1\).*PIE' <<< "$dynamic" || fail "not linked as a PIE"
grep -Eq 'BIND_NOW|FLAGS_1\).* NOW' <<< "$dynamic" || fail "symbols are not bound at start-up (-z now)"
readelf -lW "$program" | grep -q 'GNU_RELRO' || fail "no read-only relocation segment (-z relro)"
symbols=$(readelf --dyn-syms -W "$program")
grep -q ' __stack_chk_fail' <<< "$symbols" || fail "no stack protector"
# Whether checked libc calls remain depends on what the compiler can prove, so fortification is
# read from the commands that built the program: each with the define and optimisation.
compiles=$(ninja -C "$work/own" -t commands update | grep -E ' -c ')
[[ -n $compiles ]] || fail "no compile command found"
unfortified=$(grep -Ev -- '-D_FORTIFY_SOURCE=2( |$)' <<< "$compiles" || true)
[[ -z $unfortified ]] || fail "compiled without -D_FORTIFY_SOURCE=2: $(head -1 <<< "$unfortified")"
unoptimised=$(grep -Ev -- ' -O[123s]( |$)' <<< "$compiles" || true)
[[ -z $unoptimised ]] || fail "compiled without optimisation, so not fortified: $(head -1 <<< "$unoptimised")"
echo "ok: $program is PIE, full RELRO, stack-protected and fortified"
