object frmPayroll: TfrmPayroll
  Caption = 'Payroll'
  ClientHeight = 64
  ClientWidth = 280
  object edtHeadcount: TEdit
    Left = 80
    Top = 8
    Width = 120
    Height = 21
    Text = 'twelve'
  end
  object ExceptionLog: TKVExceptionLog
    Active = True
    LogFile = 'payroll-errors.log'
    SendTo.EMail = 'payroll-support@example.org'
    SendTo.EMailSubject = 'Payroll error report'
    SendTo.AttachLog = True
    SendTo.AttachScreenShot = False
    ErrorDialog = edNone
    Formats = [lfDate, lfTime, lfPhysAddress, lfExceptionClassName, lfMessage, lfSeparator, lfSourceLine, lfApplication, lfCallStack]
    OnException = ExceptionLogException
  end
end
