#include "controls/MemDC.h"

CMemDC::CMemDC(HDC target) : m_pDC(target) {
    m_bOffScreen = GetDeviceCaps(target, TECHNOLOGY) != DT_RASPRINTER;
    if (m_bOffScreen) {
        GetClipBox(target, &m_rect);
        m_hDC = CreateCompatibleDC(target);
        if (m_hDC)
            m_bitmap = CreateCompatibleBitmap(target, m_rect.right - m_rect.left,
                                              m_rect.bottom - m_rect.top);
        if (m_bitmap) {
            m_oldBitmap = static_cast<HBITMAP>(SelectObject(m_hDC, m_bitmap));
            SetWindowOrgEx(m_hDC, m_rect.left, m_rect.top, nullptr);
        } else {
            // Out of GDI resources (or an empty clip box): draw straight to
            // the target rather than into nothing.
            if (m_hDC)
                DeleteDC(m_hDC);
            m_hDC = nullptr;
            m_bOffScreen = false;
        }
    }
    if (!m_bOffScreen)
        m_hDC = target;
}

CMemDC::~CMemDC() {
    if (m_bOffScreen) {
        BitBlt(m_pDC, m_rect.left, m_rect.top, m_rect.right - m_rect.left,
               m_rect.bottom - m_rect.top, m_hDC, m_rect.left, m_rect.top, SRCCOPY);
        SelectObject(m_hDC, m_oldBitmap);
        DeleteObject(m_bitmap);
        DeleteDC(m_hDC);
    }
    // Otherwise the target was only borrowed.
}
