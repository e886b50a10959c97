' What a server script does with UploadRetrieve: create it by ProgID, hand it a string body,
' read the ACTION line, the following lines, the rest, rewind, finish, and log.
Option Explicit

Dim failures : failures = 0

Sub Check(condition, what)
    If Not condition Then
        WScript.Echo "FAILED: " & what
        failures = failures + 1
    End If
End Sub

Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
If fso.FileExists("c:\retr_log.txt") Then fso.DeleteFile "c:\retr_log.txt"

Dim body : body = "h1" & vbCrLf & "h2" & vbCrLf & "h3" & vbCrLf & "h4" & vbCrLf & "h5" & vbCrLf & _
                  "ABC" & vbCrLf & "XYZ" & vbCrLf

Dim upload : Set upload = CreateObject("Retrieve.UploadRetrieve")
Check Not upload.EOS, "EOS of a new object is false"
upload.ParseRequest body, Len(body)
Check upload.Action = "ABC", "Action gives ABC, got [" & upload.Action & "]"
Dim line : line = upload.NextMessageLine
Check line = "XYZ", "first content line is XYZ, got [" & line & "]"
Check Not upload.EOS, "EOS false after XYZ"
line = upload.NextMessageLine
Check line = "", "then an empty line, got [" & line & "]"
Check upload.EOS, "EOS true at the end"

upload.Reset
Check upload.NextMessageLine = "h1", "Reset rewinds to the first head line"
Check upload.StringToTheEnd = "h2" & vbCrLf & "h3" & vbCrLf & "h4" & vbCrLf & "h5" & vbCrLf & _
      "ABC" & vbCrLf & "XYZ" & vbCrLf, "StringToTheEnd gives the rest"
Check upload.StringToTheEnd = "", "nothing remains"

' A body without the final line break: EOS at once.
Dim short : short = "1" & vbLf & "2" & vbLf & "3" & vbLf & "4" & vbLf & "5" & vbLf & "GO" & vbLf & "last"
upload.ParseRequest short, Len(short)
Check upload.Action = "GO", "Action after a second ParseRequest"
Check upload.NextMessageLine = "last", "last line"
Check upload.EOS, "EOS right after a line without break"

' Too few lines: empty ACTION.
upload.ParseRequest "only" & vbCrLf & "two", 0
Check upload.Action = "", "fewer than six lines give an empty ACTION"

upload.ParseRequest body, Len(body)
upload.CompleteWork
Check upload.Action = "ABC", "Action survives CompleteWork"
Dim failed : failed = False
On Error Resume Next
line = upload.NextMessageLine
If Err.Number <> 0 Then failed = True
Err.Clear
On Error GoTo 0
Check failed, "NextMessageLine after CompleteWork raises an error"
Check upload.StringToTheEnd = "", "StringToTheEnd after CompleteWork is empty"

' Late binding as scripts write it: names in any case, the byte count as a string or a double.
upload.parserequest body, "0"
Check upload.ACTION = "ABC", "names are found whatever their case"
Check upload.nextmessageline = "XYZ", "NextMessageLine in lower case"
upload.ParseRequest body, CDbl(Len(body))
Check upload.Action = "ABC", "a double byte count is accepted"

' A Null body stores nothing.
upload.ParseRequest Null, 0
Check upload.Action = "", "a Null body gives an empty ACTION"

' A script array holds VARIANTs, not bytes: refused with E_INVALIDARG.
Dim errNumber
On Error Resume Next
upload.ParseRequest Array("h1", "h2", "h3"), 3
errNumber = Err.Number
Err.Clear
On Error GoTo 0
' The script host reports E_INVALIDARG as its error 5, "invalid procedure call or argument".
Check errNumber = 5 Or errNumber = &H80070057, "an array of VARIANTs is refused, got " & Hex(errNumber)

' Wrong argument counts raise an error and leave the object usable.
upload.ParseRequest body, Len(body)
On Error Resume Next
upload.ParseRequest body
errNumber = Err.Number
Err.Clear
upload.Reset 1
Dim resetError : resetError = Err.Number
Err.Clear
On Error GoTo 0
Check errNumber <> 0, "ParseRequest with one argument raises an error"
Check resetError <> 0, "Reset with an argument raises an error"
Check upload.NextMessageLine = "XYZ", "the object is unchanged by refused calls"

upload.Log "script says 100%d"
Set upload = Nothing

Dim logText : logText = ""
If fso.FileExists("c:\retr_log.txt") Then
    Dim stream : Set stream = fso.OpenTextFile("c:\retr_log.txt", 1)
    logText = stream.ReadAll
    stream.Close
End If
Check InStr(logText, ":" & vbTab & " script says 100%d" & vbCrLf) > 0, _
      "the log holds the script's line, got [" & logText & "]"
Check Left(logText, 4) = "TID=", "log line starts with TID="
Check InStr(logText, ":" & vbTab & " ARRAY OF POINTERS: vt=0x0000200C (") > 0, _
      "the refused array is logged"

If failures = 0 Then
    WScript.Echo "retrieve_script.vbs: all checks passed"
    WScript.Quit 0
Else
    WScript.Echo "retrieve_script.vbs: " & failures & " checks failed"
    WScript.Quit 1
End If
