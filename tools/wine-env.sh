# Sourced by the scripts that run Windows programs: the project's Wine prefix and quiet,
# Korean-locale Wine. PELLARIN_WINEPREFIX chooses another prefix.
export WINEPREFIX="${PELLARIN_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/pellarin/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LC_ALL="${PELLARIN_LOCALE:-ko_KR.UTF-8}"
# Some machines (virtual machines whose host runs 64-bit code only) refuse to execute any
# 32-bit program; /usr/bin/wine still picks the 32-bit loader there and every call fails with
# "Exec format error". Then Wine runs through its 64-bit loader, which runs 64-bit programs
# only: the x86_64 build works, the i686 build cannot run at all. PELLARIN_NO_32BIT says
# which case holds (1: no 32-bit code), checked once per shell tree.
if [ -z "${PELLARIN_NO_32BIT:-}" ]; then
  PELLARIN_NO_32BIT=0
  if [ -x /usr/lib/wine/wine ] && [ -x /usr/lib/wine/wine64 ] &&
     ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    PELLARIN_NO_32BIT=1
  fi
  export PELLARIN_NO_32BIT
fi
if [ "$PELLARIN_NO_32BIT" = 1 ]; then
  _pellarin_tools="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  case ":$PATH:" in
    *":$_pellarin_tools/wine64-only:"*) ;;
    *) export PATH="$_pellarin_tools/wine64-only:$PATH" ;;
  esac
  export WINELOADER=/usr/lib/wine/wine64
  unset _pellarin_tools
fi
