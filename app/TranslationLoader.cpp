#include "app/TranslationLoader.h"

#include "app/LocaleTable.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStringList>
#include <QTranslator>

namespace {
const QString kFilePattern = QStringLiteral("/QuorvixDriver_%1.qm");
const QString kFallbackFile = QStringLiteral("/QuorvixDriver_en_US.qm");
} // namespace

bool installTranslation(QCoreApplication& app, QTranslator& translator, const QString& directory,
                        const QString& systemLocaleName)
{
    qDebug() << "系统返回的语言代码：" << systemLocaleName;
    const QStringList candidates{translationLocaleFor(systemLocaleName)};

    for (const QString& candidate : candidates) {
        const QString path = directory + kFilePattern.arg(candidate);
        qDebug() << "拼接后的路径：" << path;
        if (translator.load(path)) {
            app.installTranslator(&translator);
            qDebug() << "成功加载翻译文件：" << path;
            return true;
        }
    }

    const QString fallback = directory + kFallbackFile;
    if (translator.load(fallback)) {
        app.installTranslator(&translator);
        qDebug() << "加载默认翻译文件：" << fallback;
        return true;
    }
    qWarning() << "未找到任何翻译文件，使用原始文本";
    return false;
}
