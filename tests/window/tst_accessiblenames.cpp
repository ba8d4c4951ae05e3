// Accessible names: made from object names, and present on every named
// control of a document window.
#include "DocumentFixture.h"
#include "Fixtures.h"

#include "window/AccessibleNames.h"
#include "document/SoundFile.h"
#include "window/SoundFileWindow.h"
#include "toolkit/DocumentController.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSlider>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TestAccessibleNames : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static bool isQtInternal(const QString &name)
    {
        return name.startsWith(QLatin1String("qt_")) || name.startsWith(QLatin1String("_q_"));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        DocumentController::sharedDocumentController().setQuitWhenLastDocumentCloses(false);
    }

    void cleanup() { fixtures::closeAllDocuments(); }

    void fromObjectName_data()
    {
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<QString>("name");
        QTest::newRow("label group") << "labelBytesPerSecond" << "Bytes per second";
        QTest::newRow("two words") << "labelSampleFormat" << "Sample format";
        QTest::newRow("string group") << "stringTitle" << "Title";
        QTest::newRow("bext group") << "bextCodingHistory" << "Coding history";
        QTest::newRow("acronym") << "bextUMID" << "UMID";
        QTest::newRow("one word run together") << "labelSamplerate" << "Sample rate";
        QTest::newRow("slider") << "playSlider" << "Play position";
        QTest::newRow("prefix is the meaning") << "peakCalculate" << "Calculate peak";
        QTest::newRow("page") << "Properties" << "Properties";
        QTest::newRow("acronym page") << "BEXT" << "BEXT";
        QTest::newRow("acronym inside") << "exportBEXTRecord" << "Export BEXT record";
        QTest::newRow("no group") << "someNewControl" << "Some new control";
        QTest::newRow("prefix alone") << "peak" << "Peak";
        QTest::newRow("underscores") << "level_meter_2" << "Level meter 2";
        QTest::newRow("empty") << "" << "";
    }

    void fromObjectName()
    {
        QFETCH(QString, objectName);
        QTEST(accessibleNameForObjectName(objectName), "name");
    }

    void applyRules()
    {
        QWidget root;
        root.setObjectName(QStringLiteral("window"));
        auto *field = new QLineEdit(&root);
        field->setObjectName(QStringLiteral("stringArtist"));
        auto *caption = new QLabel(QStringLiteral("&Sample rate:"), &root);
        caption->setObjectName(QStringLiteral("label3")); // as uic names an unnamed label
        auto *bare = new QLabel(&root);
        bare->setObjectName(QStringLiteral("label7"));
        auto *named = new QLabel(QStringLiteral("Left:"), &root);
        named->setObjectName(QStringLiteral("leftCaption"));
        auto *internal = new QWidget(&root);
        internal->setObjectName(QStringLiteral("qt_scrollarea_viewport"));
        auto *unnamed = new QWidget(&root);
        auto *kept = new QPushButton(QStringLiteral("Go"), &root);
        kept->setObjectName(QStringLiteral("playButton"));
        kept->setAccessibleName(QStringLiteral("Given by hand"));
        auto *nested = new QLineEdit(new QWidget(&root));
        nested->setObjectName(QStringLiteral("bextOriginator"));

        applyAccessibleNames(&root);

        QCOMPARE(field->accessibleName(), QStringLiteral("Artist"));
        QCOMPARE(caption->accessibleName(), QStringLiteral("Sample rate"));
        QCOMPARE(bare->accessibleName(), QStringLiteral("Label"));
        QCOMPARE(named->accessibleName(), QStringLiteral("Left"));
        QCOMPARE(internal->accessibleName(), QString());
        QCOMPARE(unnamed->accessibleName(), QString());
        QCOMPARE(kept->accessibleName(), QStringLiteral("Given by hand"));
        QCOMPARE(nested->accessibleName(), QStringLiteral("Originator"));
        // The window itself is announced by its title.
        QCOMPARE(root.accessibleName(), QString());

        applyAccessibleNames(nullptr); // nothing to do, no crash
    }

    void documentWindow()
    {
        const QString path = m_dir.filePath(QStringLiteral("names.wav"));
        fixtures::Spec spec;
        spec.frames = 100;
        spec.bext = fixtures::bextRecord("d", "o", "r", "2024-01-01", "00:00:00", 0, 1, "", "");
        QVERIFY(fixtures::write(path, spec));
        SoundFile *doc = fixtures::openDocument(path);
        QVERIFY(doc);
        SoundFileWindow *window = doc->documentWindow();
        QVERIFY(window);

        int named = 0;
        QHash<QString, QString> controlsByName;
        for (QWidget *w : window->findChildren<QWidget *>()) {
            const QString objectName = w->objectName();
            if (objectName.isEmpty() || isQtInternal(objectName))
                continue;
            ++named;
            QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(objectName));
            // What a screen reader gets.
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(w);
            QVERIFY2(iface && !iface->text(QAccessible::Name).isEmpty(), qPrintable(objectName));

            // Controls a user operates must be told apart by name.
            const bool control = qobject_cast<QLineEdit *>(w) || qobject_cast<QPlainTextEdit *>(w)
                || qobject_cast<QComboBox *>(w) || qobject_cast<QAbstractButton *>(w)
                || qobject_cast<QAbstractSlider *>(w) || qobject_cast<QAbstractItemView *>(w);
            if (control) {
                const QString name = w->accessibleName();
                QVERIFY2(!controlsByName.contains(name),
                         qPrintable(QStringLiteral("%1 and %2 are both \"%3\"")
                                        .arg(controlsByName.value(name), objectName, name)));
                controlsByName.insert(name, objectName);
            }
        }
        // The form's every outlet was seen.
        QVERIFY2(named >= 50, qPrintable(QString::number(named)));

        // A value label's value reaches a screen reader as its description.
        QCOMPARE(window->ui.labelBytesPerSecond->accessibleDescription(), QStringLiteral("176400"));
        // The rules applied to the real form (fromObjectName checks the rest).
        QCOMPARE(window->ui.bextOriginatorRef->accessibleName(), QStringLiteral("Originator reference"));

        // The window itself is announced by its title, which names the file.
        QAccessibleInterface *top = QAccessible::queryAccessibleInterface(window);
        QVERIFY(top);
        QVERIFY(top->text(QAccessible::Name).contains(QStringLiteral("names.wav")));
    }
};

QTEST_MAIN(TestAccessibleNames)
#include "tst_accessiblenames.moc"
