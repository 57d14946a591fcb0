#!/usr/bin/env bash
# End-to-end run of the Windows build of OrvikInstallService under Wine:
#   tests/windows/e2e.sh BUILD_DIR
#
# BUILD_DIR is a cross build (cmake/mingw-w64-x86_64.cmake) with its programs
# built. In a fresh Wine prefix the script makes packages with the library's
# writing side (MakeTestPackage), builds Windows Installer packages of the
# host product with wixl, installs them with msiexec and runs the installer
# with its input redirected, in these situations, one after the other:
#   1. no product installed;
#   2. one product whose package file is gone;
#   3. a second product with its package: the service executable (a stand-in
#      that logs its runs) is extracted, moved into place and registered;
#   4. the package holds none of the service streams;
#   5. the final file is in use: the move is left for the next restart and
#      the registration still runs;
#   6. the package is one that qss.exe packed: split into segment files, the
#      service in a container nested under the first path.
# Each run's console output is compared in full. Ends with a line
# "N passed, N failed"; the exit code is 0 only when nothing failed.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:?usage: e2e.sh BUILD_DIR}" && pwd)"
installer="$build/bin/OrvikInstallService.exe"
helpers="$build/e2e"
for program in "$installer" "$build/bin/qss.exe" "$helpers/FakeService.exe" "$helpers/HoldFile.exe" "$helpers/MakeTestPackage.exe"; do
  [ -f "$program" ] || { echo "e2e: $program is missing; build $build first" >&2; exit 2; }
done

work="$build/e2e-run"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
drive="$WINEPREFIX/drive_c"

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok - $1"; }
fail() { failed=$((failed + 1)); echo "FAIL - $1"; }
check() {  # check NAME COMMAND...
  local name="$1"
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

cleanup() { wineserver -k >/dev/null 2>&1 || true; }
trap cleanup EXIT

started=$SECONDS
wineboot -i >/dev/null 2>&1
echo "# Wine prefix ready after $((SECONDS - started)) s"

# The installer runs from its own folder, which is the working directory of
# the programs it starts.
e2e_windows='C:\OrvikE2E'
e2e="$drive/OrvikE2E"
mkdir -p "$e2e/src" "$e2e/packages"
cp "$installer" "$e2e/OrvikInstallService.exe"
cp "$build/bin/qss.exe" "$e2e/qss.exe"
cp "$helpers/FakeService.exe" "$helpers/HoldFile.exe" "$helpers/MakeTestPackage.exe" "$e2e/"
printf 'Firmware package of the test product.\n' >"$e2e/src/readme.txt"
cp "$helpers/FakeService.exe" "$e2e/src/service.bin"
cp "$helpers/HoldFile.exe" "$e2e/src/decoy.bin"
export ORVIK_E2E_SERVICE_LOG="$e2e_windows\\service.log"
service_log="$e2e/service.log"

system32="$drive/windows/system32"
final_windows='C:\windows\system32\Win_Talvane_Kivra7.exe'
temporary_windows='C:\windows\system32\Win_Talvane_Kivra7.tmp'

# Packages. The service executable is stored compressed under the second of
# the installer's paths; the first path's storage exists without its stream,
# and the third path holds a decoy that must not be taken.
wine "$e2e_windows\\MakeTestPackage.exe" "$e2e_windows\\packages\\full.varn" \
  'Kivra7i\Readme.txt' "$e2e_windows\\src\\readme.txt" \
  'Kivra7i\~Win_Talvane_Kivra7.bin' "$e2e_windows\\src\\service.bin" \
  'Brova3i\KivMod7Win.bin' "$e2e_windows\\src\\decoy.bin"
wine "$e2e_windows\\MakeTestPackage.exe" "$e2e_windows\\packages\\empty.varn" \
  'Other\Readme.txt' "$e2e_windows\\src\\readme.txt"
for package in full empty; do
  check "package $package.varn passes qss check" wine "$e2e_windows\\qss.exe" check "$e2e_windows\\packages\\$package.varn"
done >"$work/qss-check.out"
cat "$work/qss-check.out"

# Windows Installer packages of two related products (one upgrade family),
# each installing its firmware package as the key file of the package
# component into its own folder.
make_msi() {  # make_msi NAME PRODUCT-CODE FOLDER PACKAGE
  cat >"$work/$1.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$2" Name="Lumetra ($1)" Language="1033" Version="1.0.0" Manufacturer="Quorell test"
           UpgradeCode="{5D2E8A41-3C7B-4F19-A6D2-0B8E71C4F3A9}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="product.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="$3">
          <Component Id="FirmwarePackage" Guid="{9A4C1E07-58D3-4B62-8E1F-C3A7D29B6054}" Win64="yes">
            <File Id="FirmwarePackage" Name="firmware.varn" Source="$(basename "$4")" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="FirmwarePackage"/></Feature>
  </Product>
</Wix>
WXS
  # wixl looks files up relative to the folder it runs in.
  (cd "$(dirname "$4")" && wixl -a x64 -o "$e2e/$1.msi" "$work/$1.wxs")
}
make_msi lumetra1 '{A1E2D3C4-0000-4000-8000-000000000001}' 'Lumetra 1' "$e2e/packages/full.varn"
make_msi lumetra2 '{B1E2D3C4-0000-4000-8000-000000000002}' 'Lumetra 2' "$e2e/packages/full.varn"
package1_windows='C:\Program Files\Lumetra 1\firmware.varn'
package2_windows='C:\Program Files\Lumetra 2\firmware.varn'
package1="$drive/Program Files/Lumetra 1/firmware.varn"
package2="$drive/Program Files/Lumetra 2/firmware.varn"

# Runs the installer with its input redirected; its output (without the
# "\r" of text mode) goes to $work/NAME.out.
run_installer() {  # run_installer NAME
  local status=0
  wine "$e2e_windows\\OrvikInstallService.exe" ignored arguments </dev/null >"$work/$1.raw" 2>"$work/$1.err" ||
    status=$?
  tr -d '\r' <"$work/$1.raw" >"$work/$1.out"
  check "$1: exit code 0" test "$status" -eq 0
}
expect_output() {  # expect_output NAME  (expected text on standard input)
  if diff -u - "$work/$1.out" >"$work/$1.diff"; then
    pass "$1: console output"
  else
    fail "$1: console output"
    cat "$work/$1.diff"
  fi
}
expect_log() {  # expect_log NAME  (expected service log on standard input)
  local actual=""
  [ -f "$service_log" ] && actual="$(tr -d '\r' <"$service_log")"
  if diff -u - <(printf '%s\n' "$actual") >"$work/$1.log.diff"; then
    pass "$1: service runs"
  else
    fail "$1: service runs"
    cat "$work/$1.log.diff"
  fi
}
registry_has() {  # registry_has KEY [VALUE-NAME]
  wine reg query "$1" ${2:+/v "$2"} >"$work/reg.out" 2>/dev/null
}

echo "# Installer manifest"
objdump="x86_64-w64-mingw32-objdump"
check "manifest: one RT_MANIFEST resource with id 1" \
  bash -c "$objdump -p '$installer' | grep -A2 'Entry: ID: 0x000018' | grep -q 'Entry: ID: 0x000001'"
check "manifest: requireAdministrator, Windows 7 and 10" bash -c "
  strings '$installer' | grep -q 'level=\"requireAdministrator\"' &&
  strings '$installer' | grep -q '35138b9a-5d96-4fbd-8e2d-a2440225f93a' &&
  strings '$installer' | grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a'"

echo "# 1. No product installed"
run_installer no-product
expect_output no-product <<'TEXT'
Searching for an installed version of Lumetra
Unable to install the integrated service because Lumetra is not installed.
Install Lumetra and run this program again!
Press any key to exit the application
TEXT
check "no-product: nothing placed" test ! -e "$system32/Win_Talvane_Kivra7.exe"

echo "# 2. One product, its package file gone"
wine msiexec /i "$e2e_windows\\lumetra1.msi" /qn
check "lumetra1 installed its package" test -f "$package1"
rm -f "$package1"
run_installer package-missing
expect_output package-missing <<'TEXT'
Searching for an installed version of Lumetra
Locating Varn file...

Press any key to exit the application
TEXT

echo "# 3. A second product with its package"
wine msiexec /i "$e2e_windows\\lumetra2.msi" /qn
check "lumetra2 installed its package" test -f "$package2"
run_installer installed
cat >"$work/installed.expected" <<TEXT
Searching for an installed version of Lumetra
Locating Varn file....
Opening firmware file $package2_windows

Extracting service into file $temporary_windows

Running process: $final_windows -remove
Running process: $final_windows -install
Running process: c:\\Windows\\System32\\sc.exe config "Orvik Integrated System" start=auto

Successfully installed the Orvik Integrated Systems service
REBOOT the system in order to start the service

Press any key to exit the application
TEXT
expect_output installed <"$work/installed.expected"
check "installed: the final file holds the stored stream" cmp -s "$helpers/FakeService.exe" "$system32/Win_Talvane_Kivra7.exe"
check "installed: no temporary file is left" test ! -e "$system32/Win_Talvane_Kivra7.tmp"
expect_log installed <<TEXT
-remove|$e2e_windows
-install|$e2e_windows
TEXT
check "installed: the service was registered by -install" \
  registry_has 'HKLM\System\CurrentControlSet\Services\Orvik Integrated System' ImagePath

echo "# 4. A package without the service"
cp "$e2e/packages/empty.varn" "$package2"
run_installer nothing-extracted
expect_output nothing-extracted <<TEXT
Searching for an installed version of Lumetra
Locating Varn file....
Opening firmware file $package2_windows

Extracting service into file $temporary_windows
Couldn't extract service from $package2_windows

The Orvik Integrated Systems service couldn't be installed.
Contact service support for assistance.

Press any key to exit the application
TEXT
expect_log nothing-extracted <<TEXT
-remove|$e2e_windows
-install|$e2e_windows
TEXT
cp "$e2e/packages/full.varn" "$package2"

echo "# 5. The final file in use"
rm -f "$e2e/held" "$e2e/release"
wine "$e2e_windows\\HoldFile.exe" "$final_windows" "$e2e_windows\\held" "$e2e_windows\\release" &
holder=$!
for _ in $(seq 1 300); do
  [ -e "$e2e/held" ] && break
  sleep 0.1
done
check "in-use: the final file is held open" test -e "$e2e/held"
run_installer in-use
touch "$e2e/release"
wait "$holder" || true
expect_output in-use <<TEXT
Searching for an installed version of Lumetra
Locating Varn file....
Opening firmware file $package2_windows

Extracting service into file $temporary_windows
Couldn't rename extracted file to $final_windows
File will be replaced after rebooting

Running process: $final_windows -remove
Running process: $final_windows -install
Running process: c:\\Windows\\System32\\sc.exe config "Orvik Integrated System" start=auto

Successfully installed the Orvik Integrated Systems service
REBOOT the system in order to start the service

Press any key to exit the application
TEXT
expect_log in-use <<TEXT
-remove|$e2e_windows
-install|$e2e_windows
-remove|$e2e_windows
-install|$e2e_windows
TEXT
check "in-use: the extracted file waits at its temporary name" \
  cmp -s "$helpers/FakeService.exe" "$system32/Win_Talvane_Kivra7.tmp"
check "in-use: the move is scheduled for the next restart" bash -c "
  wine reg query 'HKLM\\System\\CurrentControlSet\\Control\\Session Manager' /v PendingFileRenameOperations |
    tr -d '\\r' | grep -qiF '$temporary_windows\\0!\\??\\$final_windows'"

echo "# 6. A segmented package with a nested container, packed by qss"
mkdir -p "$e2e/tree/Kivra7i" "$e2e/tree/Brova3i"
cp "$helpers/FakeService.exe" "$e2e/tree/Kivra7i/KivMod7Win.bin"
cp "$helpers/HoldFile.exe" "$e2e/tree/Brova3i/KivMod7Win.bin"
rm -f "$system32/Win_Talvane_Kivra7.exe" "$system32/Win_Talvane_Kivra7.tmp"
check "qss pack made the package" wine "$e2e_windows\\qss.exe" pack --block-size 512 --segment-size 65536 \
  --nest Kivra7i "$e2e_windows\\tree" "$package2_windows"
check "qss pack: the package has several segment files" test -f "$package2.F0003"
run_installer qss-packed
expect_output qss-packed <"$work/installed.expected"
check "qss-packed: the final file holds the stored stream" \
  cmp -s "$helpers/FakeService.exe" "$system32/Win_Talvane_Kivra7.exe"
expect_log qss-packed <<TEXT
-remove|$e2e_windows
-install|$e2e_windows
-remove|$e2e_windows
-install|$e2e_windows
-remove|$e2e_windows
-install|$e2e_windows
TEXT

wineserver -w
echo "# Wine run took $((SECONDS - started)) s"
echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
