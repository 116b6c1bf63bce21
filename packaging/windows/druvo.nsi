; Druvo's Windows installer (NSIS 3). Built by the CMake target "setup":
;   makensis -DVERSION=... -DX64EXE=... -DX86EXE=... -DREADME=... -DOUTFILE=... druvo.nsi
; Silent: druvo-setup-VERSION.exe /S /PRINTER=RACUN /PATTERN=C:\FPRI\*.* [/FORCEDELETE=TRUE]
; The installer to ship is the x86 one: it runs on Windows XP and on 64-bit
; Windows alike. -DTARGET=amd64-unicode builds the same installer as a 64-bit
; program, for test machines whose Wine runs only 64-bit code.
!ifdef TARGET
Target ${TARGET}
!else
Unicode true
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "nsDialogs.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "x64.nsh"

Name "Druvo"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Druvo"
BrandingText "Druvo ${VERSION}"
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Druvo"
VIAddVersionKey "FileDescription" "Druvo setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Druvo developers"

!define RUNKEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Druvo"

Var Printer
Var Pattern
Var ForceDelete
Var PrinterField
Var PatternField
Var ForceField

!insertmacro MUI_PAGE_DIRECTORY
Page custom AutostartPage AutostartLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ; 64-bit Windows gets the x86_64 program, in the 64-bit Program Files and
  ; the 64-bit registry view; everything else the i686 one.
  ${If} ${RunningX64}
    SetRegView 64
    StrCpy $INSTDIR "$PROGRAMFILES64\Druvo"
  ${EndIf}
  StrCpy $Printer "RACUN"
  StrCpy $Pattern "C:\FPRI\*.*"
  StrCpy $ForceDelete ""
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PRINTER=" $R1
  ${IfNot} ${Errors}
    StrCpy $Printer $R1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/PATTERN=" $R1
  ${IfNot} ${Errors}
    StrCpy $Pattern $R1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/FORCEDELETE=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 == "TRUE"
    StrCpy $ForceDelete "TRUE"
  ${EndIf}
FunctionEnd

Function AutostartPage
  !insertmacro MUI_HEADER_TEXT "Start with Windows" "Where Druvo sends the files, and which files."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 12u "Printer queue (or socket://HOST:PORT for a network printer):"
  ${NSD_CreateText} 0 13u 100% 12u "$Printer"
  Pop $PrinterField
  ${NSD_CreateLabel} 0 32u 100% 12u "Drop folder and wildcard:"
  ${NSD_CreateText} 0 45u 100% 12u "$Pattern"
  Pop $PatternField
  ${NSD_CreateCheckbox} 0 66u 100% 12u "Also delete files whose print job failed (force delete)"
  Pop $ForceField
  ${If} $ForceDelete == "TRUE"
    ${NSD_Check} $ForceField
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function AutostartLeave
  ${NSD_GetText} $PrinterField $Printer
  ${NSD_GetText} $PatternField $Pattern
  ${NSD_GetState} $ForceField $0
  StrCpy $ForceDelete ""
  ${If} $0 == ${BST_CHECKED}
    StrCpy $ForceDelete "TRUE"
  ${EndIf}
FunctionEnd

Section "Druvo"
  SetOutPath "$INSTDIR"
  ${If} ${RunningX64}
    File "/oname=druvo.exe" "${X64EXE}"
  ${Else}
    File "/oname=druvo.exe" "${X86EXE}"
  ${EndIf}
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The program path in quotes: it holds a space under Program Files.
  StrCpy $0 '"$INSTDIR\druvo.exe" $Printer $Pattern'
  ${If} $ForceDelete == "TRUE"
    StrCpy $0 "$0 TRUE"
  ${EndIf}
  WriteRegStr HKLM "${RUNKEY}" "Druvo" $0

  CreateDirectory "$SMPROGRAMS\Druvo"
  CreateShortcut "$SMPROGRAMS\Druvo\Druvo.lnk" "$INSTDIR\druvo.exe" '$Printer $Pattern $ForceDelete'
  CreateShortcut "$SMPROGRAMS\Druvo\Uninstall Druvo.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "Druvo"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "Druvo developers"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; A running Druvo keeps its program file; end it first.
  ExecWait 'taskkill /F /IM druvo.exe' $0
  DeleteRegValue HKLM "${RUNKEY}" "Druvo"
  DeleteRegKey HKLM "${UNINSTKEY}"
  Delete "$SMPROGRAMS\Druvo\Druvo.lnk"
  Delete "$SMPROGRAMS\Druvo\Uninstall Druvo.lnk"
  RMDir "$SMPROGRAMS\Druvo"
  Delete "$INSTDIR\druvo.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
