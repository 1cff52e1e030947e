#include "ui/HelpWindow.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

static void InitHelpResources() {
    // The help lives in a static library; nothing else references its resource object.
    Q_INIT_RESOURCE(help);
}

namespace {

QPointer<CHelpWindow>& Instance() {
    static QPointer<CHelpWindow> window;
    return window;
}

QString ContextAnchor(quint32 context) {
    return QStringLiteral("ctx-%1").arg(context);
}

} // namespace

QString CHelpWindow::DefaultHelpFile() {
    InitHelpResources();
    return QStringLiteral(":/help/trellion.html");
}

CHelpWindow* CHelpWindow::Current() {
    return Instance().data();
}

CHelpWindow::CHelpWindow(QWidget* parent) : QDialog(parent), m_browser(new QTextBrowser(this)) {
    setWindowTitle(QStringLiteral("Trellion Help"));
    setAttribute(Qt::WA_DeleteOnClose);
    m_browser->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 560);
}

bool CHelpWindow::Open(const QString& helpFile, const QString& anchor) {
    if (helpFile != m_file) {
        QFile file(helpFile);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        m_browser->setHtml(QString::fromUtf8(file.readAll()));
        m_file = helpFile;
    }
    m_topic = anchor;
    if (anchor.isEmpty())
        m_browser->scrollToAnchor(QStringLiteral("top"));
    else
        m_browser->scrollToAnchor(anchor);
    return true;
}

CHelpWindow* CHelpWindow::Show(const QString& helpFile, quint32 data, int command) {
    if (!QFileInfo::exists(helpFile))
        return nullptr;
    QFile file(helpFile);
    if (!file.open(QIODevice::ReadOnly))
        return nullptr;
    const QByteArray html = file.readAll();
    file.close();

    // A context without a topic of its own opens the first topic, as the finder does.
    QString anchor;
    if (command == kHelpContext) {
        const QString wanted = ContextAnchor(data);
        if (html.contains(QStringLiteral("name=\"%1\"").arg(wanted).toUtf8()))
            anchor = wanted;
    }

    QPointer<CHelpWindow>& window = Instance();
    const bool fresh = window.isNull();
    if (fresh)
        window = new CHelpWindow;
    if (!window->Open(helpFile, anchor)) {
        if (fresh)
            delete window.data();
        return nullptr;
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window.data();
}

bool OpenWebPage(QWidget* parent, const QString& address) {
    if (QDesktopServices::openUrl(QUrl(address)))
        return true;
    // No browser answered (none installed, no desktop session): the address must not be lost.
    QDialog box(parent);
    box.setObjectName(QStringLiteral("WebAddressBox"));
    box.setWindowTitle(QStringLiteral("Trellion"));
    auto* text =
        new QLabel(QStringLiteral("No web browser could be opened. The product page is at:"), &box);
    auto* field = new QLineEdit(address, &box);
    field->setReadOnly(true);
    field->setMinimumWidth(field->fontMetrics().horizontalAdvance(address) + 24);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &box);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    auto* layout = new QVBoxLayout(&box);
    layout->addWidget(text);
    layout->addWidget(field);
    layout->addWidget(buttons);
    field->selectAll();
    field->setFocus(Qt::OtherFocusReason);
    box.exec();
    return false;
}
