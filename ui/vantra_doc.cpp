#include "ui/vantra_doc.h"

IMPLEMENT_DYNCREATE(CVantraDoc, CDocument)

BEGIN_MESSAGE_MAP(CVantraDoc, CDocument)
END_MESSAGE_MAP()

CVantraDoc::CVantraDoc() = default;
CVantraDoc::~CVantraDoc() = default;

BOOL CVantraDoc::OnNewDocument() {
    return CDocument::OnNewDocument() ? TRUE : FALSE;
}

// The document has nothing to keep: saving writes nothing and opening reads nothing.
void CVantraDoc::Serialize(CArchive&) {}
