; The Windows installer of the KDX configurator, built on Linux with makensis by
; scripts/package-windows.sh, which defines VERSION (and VERSION4, the same in four
; numbers), STAGE (the folder of the files to install) and OUTFILE. 64-bit Unicode stub: the
; default 32-bit one does nothing under a 64-bit Wine and still exits 0.
;
; By default a per-user install, as a standard user may make it (no elevation prompt): into
; %LOCALAPPDATA%\Programs\KDX, a folder of the user's own, so the settings page and the port
; logs lie beside the programs. /AllUsers installs for every user of the machine into
; Program Files (run it as administrator); the programs cannot write there and keep those
; files in each user's %LOCALAPPDATA%\kdx instead. /D=<folder> chooses another folder.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include FileFunc.nsh
!include LogicLib.nsh

!define PRODUCT "KDX Configurator"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KDX"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\KDX"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

Var AllUsers

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Whether this user may write for every user (an administrator, elevated).
!macro REFUSE_WITHOUT_ADMIN WHAT
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_OK|MB_ICONSTOP "${WHAT} for all users needs an administrator: start it with $\"Run as administrator$\"." /SD IDOK
        SetErrorLevel 740
        Quit
    ${EndIf}
!macroend

Function .onInit
    StrCpy $AllUsers 0
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/AllUsers" $R1
    ${IfNot} ${Errors}
        StrCpy $AllUsers 1
        !insertmacro REFUSE_WITHOUT_ADMIN "Installing"
        ; /D still chooses the folder; without it, Program Files (or where an earlier
        ; all-users install went). Compared while $LOCALAPPDATA is still the user's.
        ReadRegStr $R1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $INSTDIR == "$LOCALAPPDATA\Programs\KDX"
        ${OrIf} $INSTDIR == $R1
            StrCpy $INSTDIR "$PROGRAMFILES64\KDX"
            ReadRegStr $R2 HKLM "${UNINSTALL_KEY}" "InstallLocation"
            ${If} $R2 != ""
                StrCpy $INSTDIR $R2
            ${EndIf}
        ${EndIf}
        SetShellVarContext all
    ${EndIf}
FunctionEnd

Section "Install"
    SetRegView 64
    SetOutPath "$INSTDIR"
    File "${STAGE}\*.exe"
    File "${STAGE}\*.dll"
    File "${STAGE}\*.bmp"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ; The Start-menu entry starts the windowed program (the user's own menu, or everyone's).
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\kdx.exe"
    ; SHCTX: the user's own registry for a per-user install, the machine's for all users.
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kdx.exe"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The uninstaller knows an all-users install by the machine's entry naming its folder.
Function un.onInit
    SetRegView 64
    StrCpy $AllUsers 0
    ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R0 == $INSTDIR
        StrCpy $AllUsers 1
        !insertmacro REFUSE_WITHOUT_ADMIN "Removing the configurator"
        SetShellVarContext all
    ${EndIf}
FunctionEnd

; The files the programs write for the user: the settings pages (named after each program),
; the daily port logs and the debug logs, in folder $0. Diagnostic reports and other files a
; user put there are theirs and stay.
Function un.RemoveUserFiles
    Delete "$0\kdx.html"
    Delete "$0\kdx-cli.html"
    Delete "$0\KDX Port Log *.html"
    Delete "$0\kdx_Debug.txt"
    Delete "$0\kdx-cli_Debug.txt"
FunctionEnd

Section "Uninstall"
    SetRegView 64
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$INSTDIR\kdx.exe"
    Delete "$INSTDIR\kdx-cli.exe"
    Delete "$INSTDIR\libkdx.dll"
    Delete "$INSTDIR\Data Dir Arrow To BB.bmp"
    Delete "$INSTDIR\Data Dir Arrow From BB.bmp"
    Delete "$INSTDIR\Uninstall.exe"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"

    ; The user's settings and logs: beside the programs, or (the programs' folder not being
    ; theirs to write) in their own %LOCALAPPDATA%\kdx. Asked; a silent uninstall keeps them.
    SetShellVarContext current
    StrCpy $1 "$LOCALAPPDATA\kdx"
    StrCpy $2 0
    ${If} ${FileExists} "$INSTDIR\*.html"
    ${OrIf} ${FileExists} "$INSTDIR\*_Debug.txt"
    ${OrIf} ${FileExists} "$1\*.html"
    ${OrIf} ${FileExists} "$1\*_Debug.txt"
        MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Remove your KDX settings and port logs as well?$\n$\n$INSTDIR$\n$1" /SD IDNO IDNO keep
        StrCpy $0 $INSTDIR
        Call un.RemoveUserFiles
        StrCpy $0 $1
        Call un.RemoveUserFiles
        RMDir "$1"
        keep:
    ${EndIf}
    ; The folder goes once it is empty; what the user keeps in it stays.
    RMDir "$INSTDIR"
SectionEnd
