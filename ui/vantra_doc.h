// The application's document: the single-document template needs one, but it holds no data;
// what the user sees lives in the device link and the upgrade view.
#pragma once

#include "platform/afx/afxwin.h"

class CVantraDoc : public CDocument {
protected:
    CVantraDoc();  // created only from its runtime class
    DECLARE_DYNCREATE(CVantraDoc)

public:
    ~CVantraDoc() override;
    void Serialize(CArchive& ar) override;
    BOOL OnNewDocument() override;

protected:
    DECLARE_MESSAGE_MAP()
};
