; The Windows installer of the KDX configurator, built on Linux with makensis by
; scripts/package-windows.sh, which defines VERSION, STAGE (the folder of the files to
; install) and OUTFILE. 64-bit Unicode stub: the default 32-bit one does nothing under a
; 64-bit Wine and still exits 0.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "KDX Configurator"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KDX"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\KDX"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
    SetShellVarContext all
    SetRegView 64
    SetOutPath "$INSTDIR"
    File "${STAGE}\*.exe"
    File "${STAGE}\*.dll"
    File "${STAGE}\*.bmp"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ; The Start-menu entry starts the windowed program.
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\kdx.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    SetRegView 64
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$INSTDIR\kdx.exe"
    Delete "$INSTDIR\kdx-cli.exe"
    Delete "$INSTDIR\libkdx.dll"
    Delete "$INSTDIR\Data Dir Arrow To BB.bmp"
    Delete "$INSTDIR\Data Dir Arrow From BB.bmp"
    Delete "$INSTDIR\Uninstall.exe"
    ; Only an empty folder goes: settings pages and logs a user keeps there stay.
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
