object frmKVLogErrorDialog: TfrmKVLogErrorDialog
  Left = 200
  Top = 108
  BorderStyle = bsDialog
  ClientHeight = 110
  ClientWidth = 394
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  Position = poScreenCenter
  PixelsPerInch = 96
  TextHeight = 13
  object imgError: TImage
    Left = 10
    Top = 10
    Width = 32
    Height = 32
    Center = True
  end
  object lblErrorText: TMemo
    Left = 56
    Top = 10
    Width = 329
    Height = 57
    BorderStyle = bsNone
    ParentColor = True
    ReadOnly = True
    ScrollBars = ssVertical
    TabOrder = 1
  end
  object btnClose: TButton
    Left = 312
    Top = 80
    Width = 75
    Height = 25
    Caption = '&Close'
    Default = True
    Cancel = True
    ModalResult = 1
    TabOrder = 0
  end
  object btnEmail: TButton
    Left = 8
    Top = 80
    Width = 125
    Height = 25
    TabOrder = 3
    Visible = False
    OnClick = btnEmailClick
  end
  object cbAttachScreenshot: TCheckBox
    Left = 8
    Top = 110
    Width = 250
    Height = 17
    TabOrder = 2
    Visible = False
  end
  object btnGoWEB: TButton
    Left = 138
    Top = 80
    Width = 125
    Height = 25
    TabOrder = 4
    Visible = False
    OnClick = btnGoWEBClick
  end
end
