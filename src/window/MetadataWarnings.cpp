#include "window/MetadataWarnings.h"

#include "window/FieldControls.h"
#include "ui_SoundFile.h"

#include <QAction>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStyle>

namespace {

const QString kMarkName = QStringLiteral("metadataWarning");

// A mark in the top right corner of a multi-line field, kept there as the
// field changes size.
class CornerMark : public QLabel
{
public:
    CornerMark(QPlainTextEdit *field, const QIcon &icon) : QLabel(field), m_field(field)
    {
        setObjectName(kMarkName);
        setPixmap(icon.pixmap(16, 16));
        field->installEventFilter(this);
        place();
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_field && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
            place();
        return false;
    }

private:
    void place()
    {
        const QScrollBar *bar = m_field->verticalScrollBar();
        const int barWidth = bar && bar->isVisible() ? bar->width() : 0;
        move(m_field->width() - m_field->frameWidth() - barWidth - 20, m_field->frameWidth() + 2);
        resize(16, 16);
    }

    QPlainTextEdit *m_field;
};

} // namespace

void showMetadataWarnings(const Ui::SoundFile &ui, const QList<MetadataFinding> &findings)
{
    for (int i = 0; i < kMetadataFieldCount; ++i) {
        QWidget *control = fieldControl(ui, MetadataField(i));
        qDeleteAll(control->findChildren<QAction *>(kMarkName));
        qDeleteAll(control->findChildren<QLabel *>(kMarkName));
    }
    QMap<int, QStringList> messages;
    for (const MetadataFinding &finding : findings)
        if (finding.field)
            messages[int(*finding.field)] << finding.message;
    for (auto it = messages.cbegin(); it != messages.cend(); ++it) {
        const QString tip = QObject::tr("Does not follow EBU Tech 3285: %1").arg(it.value().join(QStringLiteral("; ")));
        QWidget *control = fieldControl(ui, MetadataField(it.key()));
        const QIcon icon = control->style()->standardIcon(QStyle::SP_MessageBoxWarning);
        if (auto *line = qobject_cast<QLineEdit *>(control)) {
            QAction *mark = line->addAction(icon, QLineEdit::TrailingPosition);
            mark->setObjectName(kMarkName);
            mark->setToolTip(tip);
        } else if (auto *edit = qobject_cast<QPlainTextEdit *>(control)) {
            auto *mark = new CornerMark(edit, icon);
            mark->setToolTip(tip);
            mark->show();
        }
    }
}
