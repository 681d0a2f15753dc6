; The players' setup of the Veltro launcher, for NSIS 3 (Debian's makensis). scripts/windows.sh
; builds it:
;
;   makensis -DVERSION=0.2 -DPROGRAM_DIR=<player's folder> -DOUTFILE=<setup.exe>
;            [-DSIGN_COMMAND=<command that signs the file named after it>] windows-setup.nsi
;
; A per-user install without elevation into %LOCALAPPDATA%\Programs\VeltroLauncher: the program's
; folder is its working folder, where the hash files and the archives are written, so it must be
; writable by the player. The games themselves install into %LOCALAPPDATA%\VeltroLauncher, which
; the uninstaller keeps unless the player ticks the box to remove them (a silent uninstall keeps
; them).

!ifndef VERSION | PROGRAM_DIR | OUTFILE
    !error "VERSION, PROGRAM_DIR and OUTFILE are given on makensis' command line"
!endif

; A 64-bit setup for the 64-bit program: it also runs where Windows (or Wine) has no 32-bit part.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
; A file that cannot be written (a launcher still running) fails the setup, never skipped.
AllowSkipFiles off

!define PRODUCT "Veltro Launcher"
!define PUBLISHER "Veltro"
!define PROGRAM "VeltroLauncher.exe"
!define UNINSTALLER "Uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltroLauncher"
!define SHORTCUT "${PRODUCT}.lnk"
; Where the launcher installs the games: Qt's local application-data folder of the program.
!define GAMES_DIR "$LOCALAPPDATA\VeltroLauncher"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\VeltroLauncher"
BrandingText "${PRODUCT} ${VERSION}"

!ifdef SIGN_COMMAND
    ; The uninstaller is signed before it is packed into the setup, which writes it out unchanged.
    !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define MUI_ICON "${__FILEDIR__}/../assets/veltro.ico"
!define MUI_UNICON "${__FILEDIR__}/../assets/veltro.ico"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartLauncher
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_COMPONENTSPAGE_TEXT_TOP \
    "The installed games in ${GAMES_DIR} stay unless you tick them too."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; The setup's (and the uninstaller's) version resource.
!searchparse /noerrors "${VERSION}.0.0.0" "" VERSION_1 "." VERSION_2 "." VERSION_3 "." VERSION_4 "."
VIProductVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.${VERSION_4}"
VIFileVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.${VERSION_4}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

Function .onInit
    ; The uninstaller removes its whole folder: a folder given with /D gets a VeltroLauncher
    ; folder of its own, never a player's folder that holds other files.
    ${GetFileName} "$INSTDIR" $0
    ${If} $0 != "VeltroLauncher"
        StrCpy $INSTDIR "$INSTDIR\VeltroLauncher"
    ${EndIf}
FunctionEnd

Function StartLauncher
    ; The working folder is the install folder, as for the shortcuts.
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\${PROGRAM}"'
FunctionEnd

Section "${PRODUCT}" SectionProgram
    SectionIn RO
    ; The program, its DLLs and clienticon.png, which the window reads from its working folder.
    SetOutPath "$INSTDIR"
    File /r "${PROGRAM_DIR}/*"
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"

    ; A shortcut's working folder ("Start in") is the output path when it is made.
    CreateShortCut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0
    CreateShortCut "$DESKTOP\${SHORTCUT}" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM},0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ; In KiB, as the uninstall list reads it.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "un.${PRODUCT} and its shortcuts" SectionUninstallProgram
    SectionIn RO
    Delete "$SMPROGRAMS\${SHORTCUT}"
    Delete "$DESKTOP\${SHORTCUT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    ; The program, its DLLs, the hash files and any archive left by an interrupted download.
    RMDir /r "$INSTDIR"
SectionEnd

; Unticked: a silent uninstall keeps the games.
Section /o "un.Installed games and the launcher's log" SectionUninstallGames
    RMDir /r "${GAMES_DIR}"
SectionEnd
