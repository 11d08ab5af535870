# Sourced by the scripts that run Windows programs: the project's Wine prefix and quiet,
# Korean-locale Wine. PELLARIN_WINEPREFIX chooses another prefix.
export WINEPREFIX="${PELLARIN_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/pellarin/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export LC_ALL="${PELLARIN_LOCALE:-ko_KR.UTF-8}"
