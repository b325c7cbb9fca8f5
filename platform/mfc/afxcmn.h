// Common controls: image lists, tree, tab, slider and spin controls, tooltips.
#pragma once

#include "platform/mfc/afxwin.h"

struct _TREEITEM;
typedef _TREEITEM* HTREEITEM;
#define TVI_ROOT (reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x10000)))
#define TVI_FIRST (reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x0FFFF)))
#define TVI_LAST (reinterpret_cast<HTREEITEM>(static_cast<intptr_t>(-0x0FFFE)))

enum : UINT {
    TVIF_TEXT = 0x0001, TVIF_IMAGE = 0x0002, TVIF_PARAM = 0x0004, TVIF_STATE = 0x0008,
    TVIF_HANDLE = 0x0010, TVIF_SELECTEDIMAGE = 0x0020, TVIF_CHILDREN = 0x0040,
};
enum : UINT { TVE_COLLAPSE = 0x0001, TVE_EXPAND = 0x0002, TVE_TOGGLE = 0x0003 };
enum : int { TVSIL_NORMAL = 0, TVSIL_STATE = 2 };
enum : UINT { TVGN_ROOT = 0, TVGN_NEXT = 1, TVGN_PARENT = 3, TVGN_CHILD = 4, TVGN_CARET = 9 };
enum : UINT { TVC_UNKNOWN = 0, TVC_BYMOUSE = 1, TVC_BYKEYBOARD = 2 };

// Notification codes (negative values as the common controls number them).
constexpr UINT TVN_SELCHANGED = static_cast<UINT>(-402);
constexpr UINT TCN_SELCHANGE = static_cast<UINT>(-551);
constexpr UINT TCN_SELCHANGING = static_cast<UINT>(-552);
constexpr UINT TTN_NEEDTEXTA = static_cast<UINT>(-520);
constexpr UINT TTN_NEEDTEXTW = static_cast<UINT>(-530);
constexpr UINT TTN_NEEDTEXT = TTN_NEEDTEXTA;
constexpr UINT UDN_DELTAPOS = static_cast<UINT>(-722);

struct TVITEM {
    UINT mask;
    HTREEITEM hItem;
    UINT state;
    UINT stateMask;
    LPSTR pszText;
    int cchTextMax;
    int iImage;
    int iSelectedImage;
    int cChildren;
    LPARAM lParam;
};
typedef TVITEM TV_ITEM;
typedef TVITEM* LPTVITEM;

struct TVINSERTSTRUCT {
    HTREEITEM hParent;
    HTREEITEM hInsertAfter;
    TVITEM item;
};
typedef TVINSERTSTRUCT TV_INSERTSTRUCT;
typedef TVINSERTSTRUCT* LPTVINSERTSTRUCT;

struct NMTREEVIEW {
    NMHDR hdr;
    UINT action;
    TVITEM itemOld;
    TVITEM itemNew;
    POINT ptDrag;
};
typedef NMTREEVIEW NM_TREEVIEW;
typedef NMTREEVIEW* LPNMTREEVIEW;

enum : UINT { TTF_IDISHWND = 0x0001 };
struct TOOLTIPTEXTA {
    NMHDR hdr;
    LPSTR lpszText;
    char szText[80];
    HINSTANCE hinst;
    UINT uFlags;
    LPARAM lParam;
};
struct TOOLTIPTEXTW {
    NMHDR hdr;
    wchar_t* lpszText;
    wchar_t szText[80];
    HINSTANCE hinst;
    UINT uFlags;
    LPARAM lParam;
};
typedef TOOLTIPTEXTA TOOLTIPTEXT;

struct NMUPDOWN {
    NMHDR hdr;
    int iPos;
    int iDelta;
};

// Image lists.
enum : UINT { ILC_MASK = 0x0001, ILC_COLOR = 0x0000, ILC_COLOR4 = 0x0004, ILC_COLOR8 = 0x0008, ILC_COLOR24 = 0x0018 };
struct HIMAGELIST__;
typedef HIMAGELIST__* HIMAGELIST;

class CImageList : public CObject {
public:
    CImageList() = default;
    ~CImageList() override;
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;
    // Images of cx by cy pixels; nInitial and nGrow size the list (nGrow 0: no growth).
    BOOL Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow);
    // Adds the bitmap as one image per cx-wide strip; the index of the first, or -1.
    int Add(CBitmap* pbmImage, CBitmap* pbmMask);
    int Add(CBitmap* pbmImage, COLORREF crMask);
    int GetImageCount() const;
    BOOL DeleteImageList();
    HIMAGELIST m_hImageList = nullptr;
    operator HIMAGELIST() const { return m_hImageList; }
};

class CTreeCtrl : public CWnd {
    DECLARE_DYNAMIC(CTreeCtrl)
public:
    HTREEITEM InsertItem(LPTVINSERTSTRUCT lpInsertStruct);
    HTREEITEM InsertItem(LPCTSTR lpszItem, HTREEITEM hParent = TVI_ROOT, HTREEITEM hInsertAfter = TVI_LAST);
    HTREEITEM InsertItem(LPCTSTR lpszItem, int nImage, int nSelectedImage, HTREEITEM hParent = TVI_ROOT,
                         HTREEITEM hInsertAfter = TVI_LAST);
    BOOL DeleteItem(HTREEITEM hItem);
    BOOL DeleteAllItems();
    BOOL Expand(HTREEITEM hItem, UINT nCode);
    CImageList* SetImageList(CImageList* pImageList, int nImageListType);
    HTREEITEM GetRootItem() const;
    HTREEITEM GetChildItem(HTREEITEM hItem) const;
    HTREEITEM GetNextSiblingItem(HTREEITEM hItem) const;
    HTREEITEM GetParentItem(HTREEITEM hItem) const;
    HTREEITEM GetSelectedItem() const;
    HTREEITEM GetNextItem(HTREEITEM hItem, UINT nCode) const;
    BOOL SelectItem(HTREEITEM hItem);
    BOOL ItemHasChildren(HTREEITEM hItem) const;
    UINT GetCount() const;
    CString GetItemText(HTREEITEM hItem) const;
    BOOL SetItemText(HTREEITEM hItem, LPCTSTR lpszItem);
    DWORD_PTR GetItemData(HTREEITEM hItem) const;
    BOOL SetItemData(HTREEITEM hItem, DWORD_PTR dwData);
    BOOL GetItem(TVITEM* pItem) const;
    BOOL SetItem(TVITEM* pItem);
    BOOL GetItemImage(HTREEITEM hItem, int& nImage, int& nSelectedImage) const;
    BOOL SetItemImage(HTREEITEM hItem, int nImage, int nSelectedImage);

private:
    CImageList* images_ = nullptr;
};

class CTabCtrl : public CWnd {
    DECLARE_DYNAMIC(CTabCtrl)
public:
    LONG InsertItem(int nItem, LPCTSTR lpszItem);
    BOOL DeleteItem(int nItem);
    BOOL DeleteAllItems();
    int GetItemCount() const;
    int GetCurSel() const;
    int SetCurSel(int nItem);
};

// Sliders and spins tell their parent through WM_HSCROLL and WM_VSCROLL, whose handlers
// receive them as CScrollBar pointers.
class CSliderCtrl : public CScrollBar {
    DECLARE_DYNAMIC(CSliderCtrl)
public:
    void SetRange(int nMin, int nMax, BOOL bRedraw = FALSE);
    void SetRangeMin(int nMin, BOOL bRedraw = FALSE);
    void SetRangeMax(int nMax, BOOL bRedraw = FALSE);
    void GetRange(int& nMin, int& nMax) const;
    int GetRangeMin() const;
    int GetRangeMax() const;
    int GetPos() const;
    void SetPos(int nPos);
    void SetTicFreq(int nFreq);
    int SetPageSize(int nSize);
};

class CSpinButtonCtrl : public CScrollBar {
    DECLARE_DYNAMIC(CSpinButtonCtrl)
public:
    void SetRange(short nLower, short nUpper);
    void SetRange32(int nLower, int nUpper);
    void GetRange(int& lower, int& upper) const;
    int SetBase(int nBase);
    int GetBase() const;
    int SetPos(int nPos);
    int GetPos() const;
    CWnd* SetBuddy(CWnd* pWndBuddy);
    CWnd* GetBuddy() const;
};
