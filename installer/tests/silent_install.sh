#!/usr/bin/env bash
# The x64 installer under wine64, silently, as a user would run it, then its
# uninstaller, silently. Checks results, not exit codes (an NSIS installer
# that cannot run still exits 0).
#   silent_install.sh WINE_RUN INSTALLER VERSION SEAMLOG_EXE REAL_DLL E2E SIM_DLL CONVERT REPORT
# Seamlog writes Benchkit.ini on Save As: the end-to-end driver runs the
# installed program in its folder against the simulated splicer to get there.
set -u
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a --server-args="-screen 0 1280x1024x24" bash "$0" "$@"
fi
wine_run=$1 installer=$2 version=$3 seamlog=$4 real_dll=$5 e2e=$6 sim_dll=$7 convert=$8 report=$9
fail=0
check() {
  if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}
win() { "$wine_run" "$@" 2>/dev/null | tr -d '\r'; }
unix_path() { win winepath -u "$1"; }

key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Seamlog'
localappdata=$(win cmd /c echo %LOCALAPPDATA%)
appdata=$(win cmd /c echo %APPDATA%)
instdir_win="$localappdata\\Programs\\Seamlog"
instdir=$(unix_path "$instdir_win")
menu=$(unix_path "$appdata\\Microsoft\\Windows\\Start Menu\\Programs\\Seamlog")
[ -n "$instdir" ] && [ -n "$menu" ] || { echo "FAIL: the Wine prefix does not answer"; exit 1; }

# A clean start: nothing left from an earlier run.
rm -rf "$instdir" "$menu"
win reg delete "$key" /f >/dev/null

echo "+ $installer /S"
"$wine_run" "$installer" /S
check "installed under %LOCALAPPDATA%\\Programs\\Seamlog" '[ -d "$instdir" ]'
check "Seamlog.exe is the built program" 'cmp -s "$instdir/Seamlog.exe" "$seamlog"'
check "PortlineUSB.dll is the real device library" 'cmp -s "$instdir/PortlineUSB.dll" "$real_dll"'
check "PortlineUSB.dll is not the simulator" '! cmp -s "$instdir/PortlineUSB.dll" "$sim_dll"'
for f in portline-setup.exe PortlineWinUsb.inf Portline.inf Portline.sys; do
  check "driver/$f is installed" '[ -s "$instdir/driver/$f" ]'
done
check "the uninstaller is installed" '[ -s "$instdir/Uninstall.exe" ]'
check "SeamlogReport.exe is installed" '[ -s "$instdir/SeamlogReport.exe" ]'

# A shortcut names its target; Wine writes it in UTF-16 or in ANSI.
names() { python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); n=sys.argv[2]; sys.exit(0 if n.encode() in d or n.encode("utf-16-le") in d else 1)' "$1" "$2"; }
check "Start menu: Seamlog runs Seamlog.exe" 'names "$menu/Seamlog.lnk" Seamlog.exe'
# The driver setup's entry runs only the protected copy, and only once there is one.
check "Start menu: no driver setup entry runs a copy the user can change" \
  '[ ! -e "$menu/Install the splicer driver.lnk" ] || names "$menu/Install the splicer driver.lnk" "Portline Setup\\portline-setup.exe"'
check "Start menu: the uninstaller" 'names "$menu/Uninstall Seamlog.lnk" Uninstall.exe'
check "Start menu: the splice report runs SeamlogReport.exe" 'names "$menu/Splice report.lnk" SeamlogReport.exe'

query() { win reg query "$key" /v "$1" | awk -v v="$1" '$1 == v { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'; }
check "Add/Remove Programs: DisplayName Seamlog" '[ "$(query DisplayName)" = Seamlog ]'
check "Add/Remove Programs: DisplayVersion $version" '[ "$(query DisplayVersion)" = "$version" ]'
check "Add/Remove Programs: the uninstaller and its silent form" \
  '[ "$(query QuietUninstallString)" = "\"$instdir_win\\Uninstall.exe\" /S" ]'
check "Add/Remove Programs: InstallLocation" '[ "$(query InstallLocation)" = "$instdir_win" ]'

# Seamlog saves a report from the simulated splicer: Benchkit.ini lands
# beside the installed program.
"$wine_run" "$e2e" main-job --seamlog "$instdir_win\\Seamlog.exe" --work "$instdir_win" \
  --sim-dll "$sim_dll" --convert "$convert" --report "$report" --model MODEL-A > "$instdir/../e2e.log" 2>&1
check "Seamlog saved a table through the installed program" 'grep -q "byte-identical" "$instdir/../e2e.log" && ! grep -q "FAIL" "$instdir/../e2e.log"'
check "Benchkit.ini is written beside the installed Seamlog.exe" 'grep -q "^CsvDir=" "$instdir/Benchkit.ini"'
check "the saved table is in the folder" '[ -s "$instdir/saved.csv" ]'

# /S /DRIVER: the driver setup runs unattended (--quiet, no box), the
# installer waits for it and ends with its status. Wine has no catalog
# functions, so there the helper fails and undoes its steps (status 1).
echo "+ $installer /S /DRIVER"
timeout 300 "$wine_run" "$installer" /S /DRIVER
installer_status=$?
check "/S /DRIVER finished (no box waiting for a click)" '[ $installer_status -ne 124 ]'
"$wine_run" "$instdir_win\\driver\\portline-setup.exe" install --quiet > "$instdir/../helper.log" 2>&1
helper_status=$?
check "/S /DRIVER ends with the driver setup's status ($helper_status)" '[ $installer_status -eq $helper_status ]'
program_files=$(unix_path "$(win cmd /c echo %ProgramFiles%)")
if [ $helper_status -ne 0 ]; then
  check "a failed driver setup leaves no protected folder behind" '[ ! -e "$program_files/Portline Setup" ]'
  windows_temp=$(unix_path 'C:\windows\Temp')
  check "a failed driver setup leaves no work folder behind" '! ls -d "$windows_temp"/PortlineSetup-* >/dev/null 2>&1'
fi
rm -f "$instdir/../helper.log"

echo "+ Uninstall.exe /S"
"$wine_run" "$instdir_win\\Uninstall.exe" /S
# The uninstaller runs on from a copy of itself: wait for it to finish.
for _ in $(seq 1 60); do
  [ -e "$instdir/Uninstall.exe" ] || [ -e "$menu" ] || break
  sleep 1
done
check "the uninstaller removed itself" '[ ! -e "$instdir/Uninstall.exe" ]'
check "the program and the device library are gone" '[ ! -e "$instdir/Seamlog.exe" ] && [ ! -e "$instdir/PortlineUSB.dll" ]'
check "SeamlogReport.exe is gone" '[ ! -e "$instdir/SeamlogReport.exe" ]'
check "the driver folder is gone" '[ ! -e "$instdir/driver" ]'
check "the Start menu folder is gone" '[ ! -e "$menu" ]'
check "the Add/Remove Programs entry is gone" '[ -z "$(query DisplayName)" ]'
check "Benchkit.ini stays" 'grep -q "^CsvDir=" "$instdir/Benchkit.ini"'
check "the saved table stays" '[ -s "$instdir/saved.csv" ]'

[ $fail -eq 0 ] || cat "$instdir/../e2e.log"
rm -rf "$instdir" "$instdir/../e2e.log"
exit $fail
