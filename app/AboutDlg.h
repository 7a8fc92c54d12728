// The About box: the banner picture and a round OK button. Opened from the
// main window's system menu.
#pragma once

#include "controls/RoundButton.h"
#include "framework/Dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();

    CRoundButton m_btnOK;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
};
