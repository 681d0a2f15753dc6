#include "sync/boundedreader.h"

#include <QList>
#include <QtTest>

// When a reader may keep the release of bytes from Qt's count: only once bytes beyond the bound
// have shown the count short, and never by more than they showed.
class TestBoundedReader : public QObject
{
    Q_OBJECT

private slots:
    void withholding_data();
    void withholding();
};

void TestBoundedReader::withholding_data()
{
    QTest::addColumn<qint64>("bound");
    QTest::addColumn<QList<qint64>>("waiting");
    QTest::addColumn<QList<bool>>("withheld");

    QTest::newRow("within the bound") << qint64(100) << QList<qint64>{100, 50, 100, 0}
                                      << QList<bool>{false, false, false, false};
    QTest::newRow("withheld up to the proven shortfall, then reported")
        << qint64(100) << QList<qint64>{400, 100, 150, 50, 10}
        << QList<bool>{false, true, true, true, false};
    QTest::newRow("a read larger than what is proven is reported")
        << qint64(100) << QList<qint64>{250, 200, 100, 60}
        << QList<bool>{false, false, true, false};
    QTest::newRow("a later overshoot proves more")
        << qint64(100) << QList<qint64>{150, 40, 300, 200}
        << QList<bool>{false, true, false, true};
}

void TestBoundedReader::withholding()
{
    QFETCH(qint64, bound);
    QFETCH(QList<qint64>, waiting);
    QFETCH(QList<bool>, withheld);

    BoundedReader reader;
    QList<bool> decisions;
    for (const qint64 bytes : waiting)
        decisions.append(reader.mayWithhold(bytes, bound));
    QCOMPARE(decisions, withheld);
}

QTEST_GUILESS_MAIN(TestBoundedReader)
#include "tst_boundedreader.moc"
