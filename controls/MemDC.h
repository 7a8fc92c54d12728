// Off-screen drawing context for flicker-free painting: drawing goes into a
// bitmap the size of the target's clip box, in the target's own logical
// coordinates, and the destructor copies it to the target in one BitBlt.
// On a printer context drawing goes straight to the target.
#pragma once

#include "framework/Wnd.h"

class CMemDC {
public:
    explicit CMemDC(HDC target);
    ~CMemDC();
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    // The context to draw into: the memory context, or the target itself.
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    // The target's clip box in its logical coordinates.
    const RECT& GetRect() const { return m_rect; }
    bool IsOffScreen() const { return m_bOffScreen; }

private:
    HDC m_hDC = nullptr;           // memory context, or the borrowed target
    HBITMAP m_bitmap = nullptr;    // owned
    HBITMAP m_oldBitmap = nullptr;
    HDC m_pDC = nullptr;           // the target; not owned
    RECT m_rect = {0, 0, 0, 0};
    bool m_bOffScreen = false;
};
