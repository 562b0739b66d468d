#include <QFileDialog>
#include <cstdio>

#include "platform/afx/afx_internal.h"

// --- Documents
// --------------------------------------------------------------------------------------
IMPLEMENT_DYNAMIC(CDocument, CCmdTarget)

BEGIN_MESSAGE_MAP(CDocument, CCmdTarget)
    ON_COMMAND(ID_FILE_SAVE, &CDocument::OnFileSave)
END_MESSAGE_MAP()

CDocument::CDocument() = default;

CDocument::~CDocument() {
    for (CView* view : m_viewList) view->m_pDocument = nullptr;
    if (m_pDocTemplate) m_pDocTemplate->RemoveDocument(this);
}

BOOL CDocument::OnNewDocument() {
    m_strPathName.Empty();
    return TRUE;
}

namespace {
std::FILE* OpenFile(LPCWSTR path, const char* mode) {
    std::string name = CString(path).ToUtf8();
    return name.empty() ? nullptr : std::fopen(name.c_str(), mode);
}
}  // namespace

BOOL CDocument::OnOpenDocument(LPCWSTR pathName) {
    std::FILE* file = OpenFile(pathName, "rb");
    if (file == nullptr) {
        AfxMessageBox(u"Cannot open the file.", MB_ICONEXCLAMATION);
        return FALSE;
    }
    CArchive ar;
    Serialize(ar);
    std::fclose(file);
    return TRUE;
}

BOOL CDocument::OnSaveDocument(LPCWSTR pathName) {
    std::FILE* file = OpenFile(pathName, "wb");
    bool ok = file != nullptr;
    if (ok) {
        CArchive ar;
        Serialize(ar);
        ok = std::ferror(file) == 0;
        ok = std::fclose(file) == 0 && ok;
    }
    if (!ok) {
        AfxMessageBox(u"Cannot save the file.", MB_ICONEXCLAMATION);
        return FALSE;
    }
    return TRUE;
}

void CDocument::OnCloseDocument() {
    delete this;
}

void CDocument::Serialize(CArchive&) {}

void CDocument::SetTitle(LPCWSTR title) {
    m_strTitle = title;
    CString app;
    if (m_pDocTemplate) m_pDocTemplate->GetDocString(app, CDocTemplate::windowTitle);
    for (CView* view : m_viewList) {
        QWidget* w = view->GetQWidget();
        if (!w) continue;
        QString name = afx::ToQString(app);
        if (!m_strTitle.IsEmpty() && !name.isEmpty())
            name = afx::ToQString(m_strTitle) + " - " + name;
        w->window()->setWindowTitle(name);
    }
}

void CDocument::SetPathName(LPCWSTR path) {
    m_strPathName = path;
    QString s = afx::ToQString(path);
    s = s.mid(s.lastIndexOf('/') + 1);
    SetTitle(reinterpret_cast<const WCHAR*>(s.utf16()));
}

void CDocument::AddView(CView* view) {
    m_viewList.push_back(view);
    view->m_pDocument = this;
}

void CDocument::RemoveView(CView* view) {
    std::erase(m_viewList, view);
    if (view->m_pDocument == this) view->m_pDocument = nullptr;
}

void CDocument::OnFileSave() {
    DoSave(m_strPathName.IsEmpty() ? nullptr : m_strPathName.GetString());
}

namespace afx {
// The framework's file dialog; an empty result means the user cancelled.
CString AskFileName(bool save, const CString& suggested) {
    QFileDialog dialog(AfxGetMainWnd() ? AfxGetMainWnd()->GetQWidget() : nullptr);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setWindowTitle(save ? QStringLiteral("Save As") : QStringLiteral("Open"));
    if (!suggested.IsEmpty()) dialog.selectFile(ToQString(suggested));
    if (dialog.exec() != QDialog::Accepted) return CString();
    QString path = dialog.property("afxChosenFile").toString();
    if (path.isEmpty() && !dialog.selectedFiles().isEmpty()) path = dialog.selectedFiles().first();
    return CString(reinterpret_cast<const WCHAR*>(path.utf16()), static_cast<int>(path.size()));
}
}  // namespace afx

BOOL CDocument::DoSave(LPCWSTR pathName) {
    CString path(pathName);
    if (path.IsEmpty()) {
        CString suggested = m_strTitle;
        if (suggested.IsEmpty() && m_pDocTemplate)
            m_pDocTemplate->GetDocString(suggested, CDocTemplate::fileNewName);
        path = afx::AskFileName(true, suggested);
        if (path.IsEmpty()) return FALSE;
    }
    if (!OnSaveDocument(path)) return FALSE;
    SetPathName(path);
    return TRUE;
}

// --- Document templates
// -----------------------------------------------------------------------------
CDocTemplate::CDocTemplate(UINT nIDResource, CRuntimeClass* docClass, CRuntimeClass* frameClass,
                           CRuntimeClass* viewClass)
    : m_nIDResource(nIDResource),
      m_pDocClass(docClass),
      m_pFrameClass(frameClass),
      m_pViewClass(viewClass) {
    m_strDocStrings.LoadString(nIDResource);
}

BOOL CDocTemplate::GetDocString(CString& out, DocStringIndex index) const {
    const std::u16string& all = m_strDocStrings.str();
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = all.find(u'\n', start);
        if (start == std::u16string::npos) {
            out.Empty();
            return FALSE;
        }
        ++start;
    }
    out = CString(all.substr(start, all.find(u'\n', start) - start));
    return !out.IsEmpty();
}

CDocument* CDocTemplate::CreateNewDocument() {
    CObject* object = m_pDocClass ? m_pDocClass->CreateObject() : nullptr;
    auto* doc = dynamic_cast<CDocument*>(object);
    if (doc == nullptr) {
        delete object;
        return nullptr;
    }
    AddDocument(doc);
    return doc;
}

CFrameWnd* CDocTemplate::CreateNewFrame(CDocument* doc, CFrameWnd*) {
    CObject* object = m_pFrameClass ? m_pFrameClass->CreateObject() : nullptr;
    auto* frame = dynamic_cast<CFrameWnd*>(object);
    if (frame == nullptr) {
        delete object;
        return nullptr;
    }
    CCreateContext context;
    context.m_pCurrentDoc = doc;
    context.m_pNewViewClass = m_pViewClass;
    context.m_pNewDocTemplate = this;
    if (!frame->LoadFrame(m_nIDResource, &context)) return nullptr;  // the frame has deleted itself
    return frame;
}

void CDocTemplate::InitialUpdateFrame(CFrameWnd* frame, CDocument* doc, BOOL makeVisible) {
    frame->InitialUpdateFrame(doc, makeVisible);
}

void CDocTemplate::AddDocument(CDocument* doc) {
    doc->m_pDocTemplate = this;
}
void CDocTemplate::RemoveDocument(CDocument* doc) {
    doc->m_pDocTemplate = nullptr;
}

CSingleDocTemplate::CSingleDocTemplate(UINT nIDResource, CRuntimeClass* docClass,
                                       CRuntimeClass* frameClass, CRuntimeClass* viewClass)
    : CDocTemplate(nIDResource, docClass, frameClass, viewClass) {}

CSingleDocTemplate::~CSingleDocTemplate() {
    delete m_pOnlyDoc;
}

void CSingleDocTemplate::AddDocument(CDocument* doc) {
    CDocTemplate::AddDocument(doc);
    m_pOnlyDoc = doc;
}

void CSingleDocTemplate::RemoveDocument(CDocument* doc) {
    CDocTemplate::RemoveDocument(doc);
    if (m_pOnlyDoc == doc) m_pOnlyDoc = nullptr;
}

CDocument* CSingleDocTemplate::OpenDocumentFile(LPCWSTR pathName, BOOL makeVisible) {
    CDocument* doc = m_pOnlyDoc;
    CFrameWnd* frame = nullptr;
    bool created = false;
    // One document at a time: new and open reuse it. Nothing marks it modified, so there is
    // nothing to ask the user before it is reused.
    if (doc == nullptr) {
        doc = CreateNewDocument();
        if (doc == nullptr) return nullptr;
        frame = CreateNewFrame(doc, nullptr);
        if (frame == nullptr) {
            delete doc;
            return nullptr;
        }
        created = true;
    }
    BOOL ok;
    if (pathName == nullptr) {
        CString untitled;
        GetDocString(untitled, fileNewName);
        doc->m_strTitle = untitled;
        ok = doc->OnNewDocument();
    } else {
        ok = doc->OnOpenDocument(pathName);
        if (ok) doc->SetPathName(pathName);
    }
    if (!ok) {
        if (created) {
            frame->DestroyWindow();
            delete doc;
        }
        return nullptr;
    }
    if (created) {
        CWinApp* app = AfxGetApp();
        if (app && app->m_pMainWnd == nullptr) app->m_pMainWnd = frame;
        InitialUpdateFrame(frame, doc, makeVisible);
    } else {
        for (CView* view : doc->GetViews()) view->Invalidate();
    }
    return doc;
}
