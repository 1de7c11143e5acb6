object frmExceptionTour: TfrmExceptionTour
  Left = 192
  Top = 107
  ActiveControl = edtHeadcount
  Caption = 'Payroll'
  ClientHeight = 64
  ClientWidth = 280
  PixelsPerInch = 96
  TextHeight = 13
  object lblHeadcount: TLabel
    Left = 8
    Top = 12
    Width = 60
    Height = 13
    Caption = '&Headcount'
    FocusControl = edtHeadcount
  end
  object edtHeadcount: TEdit
    Left = 80
    Top = 8
    Width = 120
    Height = 21
    TabOrder = 0
    Text = 'twelve'
  end
  object ExceptionLog: TKVExceptionLog
    Active = True
    SendTo.EMail = 'payroll-support@example.org'
    SendTo.EMailSubject = 'Payroll error report'
    SendTo.AttachLog = True
    SendTo.WWW = 'https://example.org/payroll/support'
    FilterClasses = [efStreamError, efFCreateError, efFOpenError, efFilerError, efReadError, efWriteError, efClassNotFound, efMethodNotFound, efInvalidImage, efResNotFound, efListError, efBitsError, efComponentError, efParserError, efOutOfResources, efInvalidOperation, efThread]
    Formats = [lfDate, lfTime, lfPhysAddress, lfExceptionClassName, lfMessage, lfSeparator, lfSourceLine, lfApplication, lfActiveControl, lfComputerInfo, lfOSInfo, lfCallStack]
    OnException = ExceptionLogException
  end
end
