#!/usr/bin/env bash
# Usage: install_test.sh manual|completion|install|deb BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
check=$1 build=$2 source=$3 version=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

case $check in
  manual)  # no warnings; the version in the footer
    man --warnings -l "$source/doc/zelk.1" 2>&1 >/dev/null | (! grep .)
    grep -q "^\.TH ZELK 1 [-0-9]* \"zelk $version\" " "$source/doc/zelk.1" ;;
  completion)  # a row: COMP_TYPE (9 Tab, 37 menu-complete, 63 listing)|line|replies
    set +eu  # as in an interactive shell
    source /usr/share/bash-completion/bash_completion
    source "$source/completion/zelk"
    arecord() { printf 'default\n  x\nhw:CARD=X,DEV=0\n  a card\n%064d\n' 0; }
    cd "$scratch" && touch take.wav
    while IFS='|' read -r COMP_TYPE COMP_LINE expected; do
      COMP_POINT=${#COMP_LINE}  # words as bash splits them at ' ', ':', '=', '>'
      read -ra COMP_WORDS <<<"${COMP_LINE//[:=>]/ & }"
      [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      $(complete -p zelk | sed 's/.*-F \([^ ]*\).*/\1/') zelk \
        "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
      got=$(IFS=,; echo "${COMPREPLY[*]}")
      [[ $got == "$expected" ]] || { echo "$COMP_LINE: got '$got'"; exit 1; }
    done <<'ROWS'
9|zelk 16|1644,1648,1688,1696
37|zelk 16|1644,1648,1688,1696
63|zelk 16|1644  16 bit 44100 Hz,1648  16 bit 48000 Hz,1688  16 bit 88200 Hz,1696  16 bit 96000 Hz
63|zelk 2496|2496
9|zelk 1644 5 |d,default,hw:CARD=X,DEV=0
9|zelk 1644 5 hw:CARD=X|X,DEV=0
9|zelk 1644 5 hw:0,0 |1,2,s
9|zelk 1644 5 d 1 >ta|take.wav
9|zelk 1644 5 d 2 a.wav ta|take.wav
9|zelk 1644 5 d 1 a.wav ta|
ROWS
    ;;
  install)  # DESTDIR and the prefix hold the program, its page and completion only
    DESTDIR=$scratch cmake --install "$build" --prefix /opt/z >/dev/null
    (cd "$scratch/opt/z" && find . -type f | sort | xargs echo) | diff - <(echo \
      ./bin/zelk ./share/bash-completion/completions/zelk ./share/man/man1/zelk.1) ;;
  deb)  # built from a copy of the tree, passed by lintian, its program runs
    mkdir "$scratch/zelk-$version" && cd "$_"
    tar -C "$source" --anchored --exclude=./.git --exclude='./build*' \
      --exclude='./obj-*' -cf - . | tar -xf -
    # Configured for a build that runs its tests, dh_auto_test runs ctest
    # (through make's test target) over this very suite, end-to-end tests
    # included; so the package is built without running it a second time.
    wanted=(env -u DEB_BUILD_OPTIONS -u DEB_BUILD_PROFILES)
    "${wanted[@]}" debian/rules override_dh_auto_configure >../log 2>&1 ||
      { tail -n 60 ../log; exit 1; }
    run=$("${wanted[@]}" dh_auto_test --no-act)
    grep -Eq '(ctest|make .* test)( |$)' <<<"$run" || { echo "tests: $run"; exit 1; }
    [[ $(ctest --test-dir obj-* -N) == *' e2e.'* ]]
    # Niced: the tests beside it come first (a starved sound server glitches).
    DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" nice -n 19 dpkg-buildpackage -us -uc -b \
      >../log 2>&1 || { tail -n 60 ../log; exit 1; }
    cd "$scratch" && lintian --pedantic -I --fail-on error,warning,info ./*.changes
    deb=$(echo zelk_*.deb)
    [[ $(dpkg-deb -f "$deb" Version) == "$version"-* ]]
    dpkg-deb -x "$deb" root
    { root/usr/bin/zelk || true; } </dev/null | grep -qx "Zelk $version (2f) by Tervane" ;;
esac
