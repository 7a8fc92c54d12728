// The port setup panel: a small modeless dialog (template 132) in which the
// user picks the COM port and the line speed. Every choice goes to the
// settings file at once; the file is read only when the panel starts. The
// panel snaps to its owner's right edge and records whether it sits there.
#pragma once

#include "framework/Ctrl.h"
#include "framework/Dialog.h"

class CPortSetupDlg : public CDialog {
public:
    // The owner is given to Create; the parent here is normally none.
    explicit CPortSetupDlg(HWND parent = nullptr);
    ~CPortSetupDlg() override;

    // Creates the (hidden) panel window owned by `owner`.
    using CDialog::Create;
    BOOL Create(HWND owner);

    // The current selection of the speed list: 0..3, or -1 when the list has
    // no selection or no window.
    int GetSpeedSelection() const;

    RECT m_StartRect{0, 0, 0, 0};   // window rectangle at start; its height is used
    int m_Docked = 0;               // 1 while snapped to the owner's right edge
    CComboBox m_SpeedList;          // control 1009
    int m_nPortIndex = 0;           // 0..3 = COM1..COM4; other values: no port

    // The two calls of the processor-affinity step, replaceable by tests;
    // nullptr restores the real ones.
    using GetAffinityFn = BOOL(WINAPI*)(HANDLE, PDWORD_PTR, PDWORD_PTR);
    using SetAffinityFn = BOOL(WINAPI*)(HANDLE, DWORD_PTR);
    static void SetAffinityApiForTesting(GetAffinityFn get, SetAffinityFn set);

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    bool PreTranslateMessage(MSG* msg) override;
    BOOL OnInitDialog() override;
    void OnWindowPosChanging(WINDOWPOS* pos) override;
    void OnOK() override;
    void OnCancel() override;

private:
    void OnPortClicked(int portIndex);
    void OnSpeedChanged();
};
