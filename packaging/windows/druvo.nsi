; Druvo's Windows installer (NSIS 3). Built by the CMake target "setup":
;   makensis -DVERSION=... -DX64EXE=... -DX86EXE=... -DREADME=... -DOUTFILE=... druvo.nsi
; Silent: druvo-setup-VERSION.exe /S /PRINTER=RACUN /PATTERN=C:\FPRI\*.* [/FORCEDELETE=TRUE]
;   [/SERVICE]      (printing runs as the Windows service Druvo, before anyone
;                   logs on; the tray at each logon only shows it)
;   [/ACCOUNT=NAME] (what the service runs as; NT AUTHORITY\LocalService by
;                   default; one with a password gets it in services.msc)
;   [/BINARY=TRUE]  (files sent byte for byte, not read as text)
;   [/METRICS=C:\Program Files\windows_exporter\textfile_inputs\druvo.prom]
;                   (a metrics file for windows_exporter's textfile collector)
;   (a value with spaces in double quotes: /PRINTER="EPSON TM-T20II Receipt")
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
!include "WordFunc.nsh"
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
; The Event Log's source: druvo.exe holds its own message table.
!define EVENTKEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Druvo"
!define SERVICEKEY "SYSTEM\CurrentControlSet\Services\Druvo"

Var Printer
Var Pattern
Var ForceDelete
Var Binary
Var Metrics
Var MetricsPath
Var MetricsField
Var PrinterField
Var PatternField
Var ForceField
Var Service
Var ServiceField
Var Account
Var Given
Var OldService

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
  StrCpy $Binary ""
  StrCpy $Service ""
  StrCpy $Account ""
  StrCpy $Given ""
  ; A service set up before stays one: the upgrade keeps how Druvo runs.
  ReadRegStr $OldService HKLM "${SERVICEKEY}" "ImagePath"
  ${If} $OldService != ""
    StrCpy $Service "TRUE"
  ${EndIf}
  ${GetParameters} $R0
  Push $R0
  Push "/SERVICE"
  Call ReadOption
  Pop $R1
  ${If} $R1 != "?"
    StrCpy $Service "TRUE"
  ${EndIf}
  Push $R0
  Push "/ACCOUNT="
  Call ReadOption
  Pop $R1
  ${If} $R1 != "?"
    Push $R1
    Call CheckValue
    StrCpy $Account ' "--account=$R1"'
  ${EndIf}
  ; Not GetOptions: it ends a value at the option's first character, "/",
  ; so socket://HOST would become "socket:".
  Push $R0
  Push "/PRINTER="
  Call ReadOption
  Pop $R1
  ${If} $R1 != "?"
    StrCpy $Printer $R1
    StrCpy $Given "TRUE"
  ${EndIf}
  Push $R0
  Push "/PATTERN="
  Call ReadOption
  Pop $R1
  ${If} $R1 != "?"
    StrCpy $Pattern $R1
    StrCpy $Given "TRUE"
  ${EndIf}
  Push $R0
  Push "/FORCEDELETE="
  Call ReadOption
  Pop $R1
  ${If} $R1 == "TRUE"
    StrCpy $ForceDelete "TRUE"
  ${EndIf}
  Push $R0
  Push "/BINARY="
  Call ReadOption
  Pop $R1
  ${If} $R1 == "TRUE"
    StrCpy $Binary "--binary "
  ${EndIf}
  StrCpy $Metrics ""
  Push $R0
  Push "/METRICS="
  Call ReadOption
  Pop $R1
  ${If} $R1 != "?"
  ${AndIf} $R1 != ""
    Push $R1
    Call CheckValue
    StrCpy $MetricsPath $R1
    StrCpy $Metrics ' "--metrics-file=$R1"'
  ${EndIf}
  ; Refused before anything is installed or closed.
  Push $Printer
  Call CheckValue
  Push $Pattern
  Call CheckValue
FunctionEnd

; Stack: parameters, option name ("/PRINTER="). Returns the option's value:
; "..." in double quotes, else up to the next " /", a closing quote or the
; end; "?" when the option is not there.
Function ReadOption
  Exch $R2 ; the name
  Exch
  Exch $R3 ; the parameters
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  StrLen $R5 $R2
  StrCpy $R4 0
  find:
    StrCpy $R6 $R3 $R5 $R4
    StrCmp $R6 "" absent
    StrCmp $R6 $R2 found
    IntOp $R4 $R4 + 1
    Goto find
  found:
    IntOp $R4 $R4 + $R5
    StrCpy $R3 $R3 "" $R4 ; what follows the name
    StrCpy $R6 $R3 1
    StrCpy $R4 0
    StrCmp $R6 '"' 0 plain
    StrCpy $R3 $R3 "" 1
  quoted:
    StrCpy $R6 $R3 1 $R4
    StrCmp $R6 "" take
    StrCmp $R6 '"' take
    IntOp $R4 $R4 + 1
    Goto quoted
  plain:
    StrCpy $R6 $R3 2 $R4
    StrCmp $R6 "" take
    StrCmp $R6 " /" take
    StrCpy $R7 $R3 1 $R4
    StrCmp $R7 "" take
    StrCmp $R7 '"' 0 inside
    ; A quote after a blank opens the next option, one before a blank or the
    ; end closes this one (a shell quotes "/OPTION=value" whole); any other
    ; belongs to the value, which is then refused.
    IntOp $R6 $R4 - 1
    StrCpy $R6 $R3 1 $R6
    StrCmp $R6 " " take
    IntOp $R6 $R4 + 1
    StrCpy $R6 $R3 1 $R6
    StrCmp $R6 "" take
    StrCmp $R6 " " take
  inside:
    IntOp $R4 $R4 + 1
    Goto plain
  take:
    StrCpy $R3 $R3 $R4
  trim: ; the blank before the next option
    StrCpy $R6 $R3 1 -1
    StrCmp $R6 " " 0 done
    StrCpy $R3 $R3 -1
    Goto trim
  absent:
    StrCpy $R3 "?"
  done:
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R2
  Exch $R3
FunctionEnd

; A value the Run key cannot carry faithfully: empty, or holding a quote.
Function CheckValue
  Exch $R0
  Push $R1
  Push $R2
  StrCmp $R0 "" bad
  StrCpy $R1 0
  scan:
    StrCpy $R2 $R0 1 $R1
    StrCmp $R2 "" good
    StrCmp $R2 '"' bad
    IntOp $R1 $R1 + 1
    Goto scan
  bad:
    MessageBox MB_OK|MB_ICONSTOP "Druvo cannot be set up with the value [$R0]: it is empty or holds a double quote." /SD IDOK
    SetErrorLevel 2
    Quit
  good:
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Each running Druvo keeps its command line under HKCU\Software\Druvo\Running,
; named PID-CREATIONTIME. Before they are closed, the lines of those still
; alive (that process id, created then) are kept in a file, to start each
; again after the upgrade.
!define RUNNINGKEY "Software\Druvo\Running"
Function RememberRunning
  Push $R0
  Push $R1
  Push $R2
  Push $R5
  Push $R6
  Push $R7
  Push $R8
  Push $R9
  InitPluginsDir
  FileOpen $R6 "$PLUGINSDIR\running.txt" w
  StrCpy $R5 0
  next:
    EnumRegValue $R7 HKCU "${RUNNINGKEY}" $R5
    StrCmp $R7 "" done
    IntOp $R5 $R5 + 1
    ReadRegStr $R8 HKCU "${RUNNINGKEY}" $R7
    ${WordFind} $R7 "-" "+1" $R0
    ${WordFind} $R7 "-" "+2" $R1
    ; QUERY_INFORMATION: the process is there, and is the one that wrote
    ; the entry (an entry a crash left names an id that may be reused).
    System::Call 'kernel32::OpenProcess(i 0x0400, i 0, i $R0) p .R9'
    IntCmp $R9 0 next
    System::Call 'kernel32::GetProcessTimes(p $R9, *l .R2, *l .R0, *l .R0, *l .R0) i .R0'
    System::Call 'kernel32::CloseHandle(p $R9)'
    StrCmp $R2 $R1 0 next
    FileWriteUTF16LE $R6 "$R8$\n"
    Goto next
  done:
  FileClose $R6
  Pop $R9
  Pop $R8
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Starts again every Druvo RememberRunning kept, but the one the Run key
; starts (with its new line): $R3 the Run key's line before, $R4 after.
Function StartRemembered
  Push $R6
  Push $R8
  Push $R9
  ClearErrors
  FileOpen $R6 "$PLUGINSDIR\running.txt" r
  IfErrors end
  next:
    ClearErrors
    FileReadUTF16LE $R6 $R8
    IfErrors done
    StrCpy $R9 $R8 1 -1
    StrCmp $R9 "$\n" 0 +2
    StrCpy $R8 $R8 -1
    StrCmp $R8 "" next
    StrCmp $R8 $R3 next
    StrCmp $R8 $R4 next
    Exec $R8
    Goto next
  done:
  FileClose $R6
  end:
  Pop $R9
  Pop $R8
  Pop $R6
FunctionEnd

; Ends every running Druvo the way its own Quit does (WM_CLOSE to its hidden
; window), and waits for it: XP Home has no taskkill, and a running program
; file cannot be replaced.
!macro CloseDruvo un
Function ${un}CloseDruvo
  Push $R0
  Push $R1
  StrCpy $R1 0
  again:
    FindWindow $R0 "DruvoMainFrame" ""
    IntCmp $R0 0 done
    SendMessage $R0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 200
    IntOp $R1 $R1 + 1
    IntCmp $R1 50 done again again
  done:
  Pop $R1
  Pop $R0
FunctionEnd
!macroend
!insertmacro CloseDruvo ""
!insertmacro CloseDruvo "un."

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
  ${NSD_CreateLabel} 0 86u 100% 12u "Metrics file for windows_exporter (optional; a full path ending in .prom):"
  ${NSD_CreateText} 0 99u 100% 12u "$MetricsPath"
  Pop $MetricsField
  ${NSD_CreateCheckbox} 0 118u 100% 12u "Run as a service (prints before logon)"
  Pop $ServiceField
  ${If} $Service == "TRUE"
    ${NSD_Check} $ServiceField
  ${EndIf}
  nsDialogs::Show
FunctionEnd

; Stack: a value from the page. Stays on the page when it holds a double
; quote, which the Run key's line cannot carry.
Function RefuseQuote
  Exch $R0
  Push $R1
  Push $R2
  StrCpy $R1 0
  scan:
    StrCpy $R2 $R0 1 $R1
    StrCmp $R2 "" done
    StrCmp $R2 '"' 0 next
    MessageBox MB_OK|MB_ICONEXCLAMATION "[$R0] holds a double quote, which Druvo's command line cannot carry."
    Pop $R2
    Pop $R1
    Pop $R0
    Abort
  next:
    IntOp $R1 $R1 + 1
    Goto scan
  done:
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

Function AutostartLeave
  ${NSD_GetText} $PrinterField $Printer
  ${NSD_GetText} $PatternField $Pattern
  ${NSD_GetText} $MetricsField $MetricsPath
  Push $Printer
  Call RefuseQuote
  Push $Pattern
  Call RefuseQuote
  Push $MetricsPath
  Call RefuseQuote
  StrCpy $Metrics ""
  ${If} $MetricsPath != ""
    StrCpy $Metrics ' "--metrics-file=$MetricsPath"'
  ${EndIf}
  ${NSD_GetState} $ForceField $0
  StrCpy $ForceDelete ""
  ${If} $0 == ${BST_CHECKED}
    StrCpy $ForceDelete "TRUE"
  ${EndIf}
  ${NSD_GetState} $ServiceField $0
  StrCpy $Service ""
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Service "TRUE"
  ${EndIf}
  StrCpy $Given "TRUE"
FunctionEnd

Section "Druvo"
  SetOutPath "$INSTDIR"
  ReadRegStr $R3 HKLM "${RUNKEY}" "Druvo"
  Call RememberRunning
  ; The service's program file is replaced once its process has ended: it
  ; stops as Quit stops the tray, and its state keeps what it had under way.
  ; The new program stops it: an old one may not know how.
  ${If} $OldService != ""
    InitPluginsDir
    ${If} ${RunningX64}
      File "/oname=$PLUGINSDIR\druvo.exe" "${X64EXE}"
    ${Else}
      File "/oname=$PLUGINSDIR\druvo.exe" "${X86EXE}"
    ${EndIf}
    ExecWait '"$PLUGINSDIR\druvo.exe" --stop-service' $R5
    ${If} $R5 != 0
      MessageBox MB_OK|MB_ICONSTOP "The service Druvo did not stop (status $R5); nothing was changed." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
  Call CloseDruvo
  ; A file that cannot be replaced fails the setup, loudly: an old program
  ; left in place would go on printing with the old rules.
  SetOverwrite try
  ClearErrors
  ${If} ${RunningX64}
    File "/oname=druvo.exe" "${X64EXE}"
  ${Else}
    File "/oname=druvo.exe" "${X86EXE}"
  ${EndIf}
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\druvo.exe could not be replaced (is it still running?)." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  SetOverwrite on
  File "/oname=README.txt" "${README}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Every value in quotes: the program path holds a space under Program
  ; Files, and printer names and folders often do ("EPSON TM-T20II Receipt").
  Push $Printer
  Call CheckValue
  Push $Pattern
  Call CheckValue
  StrCpy $1 '$Binary"$Printer" "$Pattern"'
  ${If} $ForceDelete == "TRUE"
    StrCpy $1 "$1 TRUE"
  ${EndIf}
  StrCpy $1 "$1$Metrics"
  StrCpy $0 '"$INSTDIR\druvo.exe" $1'
  ${If} $Service == "TRUE"
    ; The service prints; at each logon the tray shows it. An upgrade given
    ; no printer or folder starts the service again as it was set up.
    ${If} $OldService == ""
    ${OrIf} $Given == "TRUE"
      ExecWait '"$INSTDIR\druvo.exe" --install-service$Account $1' $R5
    ${Else}
      ExecWait '"$INSTDIR\druvo.exe" --start-service' $R5
    ${EndIf}
    ${If} $R5 != 0
      MessageBox MB_OK|MB_ICONSTOP "The service Druvo could not be set up or started (status $R5); the Event Log says why." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    StrCpy $1 "--view"
    StrCpy $0 '"$INSTDIR\druvo.exe" $1'
  ${ElseIf} $OldService != ""
    ExecWait '"$INSTDIR\druvo.exe" --remove-service'
  ${EndIf}
  WriteRegStr HKLM "${RUNKEY}" "Druvo" $0
  ; Read back: what starts Druvo is what the technician typed.
  ReadRegStr $2 HKLM "${RUNKEY}" "Druvo"
  ${If} $2 != $0
    MessageBox MB_OK|MB_ICONSTOP "Druvo's start line could not be written to the registry." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}

  CreateDirectory "$SMPROGRAMS\Druvo"
  CreateShortcut "$SMPROGRAMS\Druvo\Druvo.lnk" "$INSTDIR\druvo.exe" '$1'
  ; Printing starts now, not at the next logon; so does every other Druvo
  ; the upgrade closed.
  Exec $0
  StrCpy $R4 $0
  Call StartRemembered
  CreateShortcut "$SMPROGRAMS\Druvo\Uninstall Druvo.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTKEY}" "DisplayName" "Druvo"
  WriteRegStr HKLM "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTKEY}" "Publisher" "Druvo developers"
  WriteRegStr HKLM "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTKEY}" "NoRepair" 1
  WriteRegExpandStr HKLM "${EVENTKEY}" "EventMessageFile" "$INSTDIR\druvo.exe"
  WriteRegDWORD HKLM "${EVENTKEY}" "TypesSupported" 7
SectionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; A running Druvo keeps its program file; end it first: the service as
  ; Quit ends the tray, then the trays.
  ExecWait '"$INSTDIR\druvo.exe" --remove-service' $R5
  ${If} $R5 != 0
    MessageBox MB_OK|MB_ICONSTOP "The service Druvo could not be removed (status $R5); nothing was removed." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  Call un.CloseDruvo
  DeleteRegValue HKLM "${RUNKEY}" "Druvo"
  DeleteRegKey HKLM "${UNINSTKEY}"
  DeleteRegKey HKLM "${EVENTKEY}"
  Delete "$SMPROGRAMS\Druvo\Druvo.lnk"
  Delete "$SMPROGRAMS\Druvo\Uninstall Druvo.lnk"
  RMDir "$SMPROGRAMS\Druvo"
  Delete "$INSTDIR\druvo.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
