#include "cli/options.h"

#include "meter/settingswrite.h"

#include <cstdio>

namespace zk::cli {

std::optional<int> intArgument(const QString &text, int min, int max)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (!ok || v < min || v > max)
        return std::nullopt;
    return v;
}

int usageError(const QString &text)
{
    std::fprintf(stderr, "%s\n\n%s", text.toLocal8Bit().constData(), usageText().toLocal8Bit().constData());
    return ExitUsage;
}

QString usageText()
{
    return QStringLiteral(
        "Использование: zelta-kn-cli [--port COMn|УСТРОЙСТВО] [--address N] [--baud 1200|2400|4800|9600]\n"
        "                            [--timeout МС] [--password N] [--json] [--trace] КОМАНДА ...\n"
        "\n"
        "Команды:\n"
        "  info            один полный цикл опроса: все значения счетчика, как их показывает окно\n"
        "  find-address    поиск адреса с 0; выводит адрес, который ответил\n"
        "  status N        расшифровка значения статуса (счетчик не нужен)\n"
        "  write [--time now|ГГГГ-ММ-ДДTЧЧ:ММ:СС] [--summer] [--address N] [--serial N]\n"
        "        [--ddm A,B,C] [--indication N] [--billing ДЕНЬ,ЧАС] [--correction N]\n"
        "        [--new-password N] [--reset-tariff]\n"
        "                  записать в счетчик названные установки (как F12 в окне)\n"
        "  reset-billing   сбросить показания на расчетный день\n"
        "  spoilage НОМЕР КОД\n"
        "                  зарегистрировать брак счетчика (производственный режим)\n"
        "  journal annual|consumption [--xls ФАЙЛ]\n"
        "                  один цикл опроса, затем годовой журнал (12 месяцев) или журнал\n"
        "                  потребления (61 страница); строки как в окне, заголовки первыми;\n"
        "                  с --xls ФАЙЛ еще и книга .xls, как ее пишет «Экспорт» в окне\n"
        "  schedule read   тарифное расписание, праздники и переносы, как их читает окно\n"
        "  schedule write ФАЙЛ.json\n"
        "                  записать расписание из файла (формат вывода schedule read --json;\n"
        "                  days, holidays, transfers можно не указывать) с проверками окна\n"
        "\n"
        "Параметры:\n"
        "  --port       порт: имя COMn (через таблицу портов) или путь к устройству;\n"
        "               по умолчанию порт, сохраненный программой\n"
        "  --address    адрес счетчика 0..255 (0)\n"
        "  --baud       скорость, бит/с (4800)\n"
        "  --timeout    таймаут ответа 200..10000 мс (1000)\n"
        "  --password   пароль для доступа (заводской 1)\n"
        "  --json       вывод в JSON\n"
        "  --trace      протокол обмена в stderr\n"
        "\n"
        "Код завершения: 0 выполнено; 2 неверные аргументы; 3 нет ответа; 4 счетчик отказал;\n"
        "5 ошибка базы данных или файла.\n");
}

namespace {
// Options a command owns: after that command they are its own, even where a global
// option has the same name.
QStringList ownOptions(const QString &command)
{
    if (command == QLatin1String("write"))
        return {QStringLiteral("--time"), QStringLiteral("--summer"), QStringLiteral("--address"),
                QStringLiteral("--serial"), QStringLiteral("--ddm"), QStringLiteral("--indication"),
                QStringLiteral("--billing"), QStringLiteral("--correction"), QStringLiteral("--new-password"),
                QStringLiteral("--reset-tariff")};
    if (command == QLatin1String("journal"))
        return {QStringLiteral("--xls")};
    return {};
}
} // namespace

Parsed parseArguments(const QStringList &arguments)
{
    Options o;
    o.password = FactoryPassword;
    auto fail = [](const QString &text) { return Parsed{std::nullopt, text}; };

    for (int i = 0; i < arguments.size(); ++i) {
        QString arg = arguments.at(i);
        QString value;
        bool inlineValue = false;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            value = arg.mid(arg.indexOf(QLatin1Char('=')) + 1);
            arg = arg.left(arg.indexOf(QLatin1Char('=')));
            inlineValue = true;
        }
        // The value of a global option: inline or the next word.
        auto takeValue = [&]() -> std::optional<QString> {
            if (inlineValue)
                return value;
            if (i + 1 >= arguments.size())
                return std::nullopt;
            return arguments.at(++i);
        };
        auto missing = [&] { return fail(QStringLiteral("Параметру %1 не хватает значения").arg(arg)); };

        if (!o.command.isEmpty() && ownOptions(o.command).contains(arg)) {
            o.args << arguments.at(i);
        } else if (arg == QLatin1String("--port")) {
            const auto v = takeValue();
            if (!v || v->isEmpty())
                return missing();
            o.port = *v;
        } else if (arg == QLatin1String("--address")) {
            const auto v = takeValue();
            if (!v)
                return missing();
            const auto n = intArgument(*v, 0, 255);
            if (!n)
                return fail(QStringLiteral("Адрес должен быть числом от 0 до 255: %1").arg(*v));
            o.address = *n;
        } else if (arg == QLatin1String("--baud")) {
            const auto v = takeValue();
            if (!v)
                return missing();
            const auto n = intArgument(*v, 1200, 9600);
            if (!n || (*n != 1200 && *n != 2400 && *n != 4800 && *n != 9600))
                return fail(QStringLiteral("Скорость должна быть 1200, 2400, 4800 или 9600: %1").arg(*v));
            o.baud = *n;
        } else if (arg == QLatin1String("--timeout")) {
            const auto v = takeValue();
            if (!v)
                return missing();
            const auto n = intArgument(*v, 200, 10000);
            if (!n)
                return fail(QStringLiteral("Таймаут должен быть числом от 200 до 10000 мс: %1").arg(*v));
            o.timeout = *n;
        } else if (arg == QLatin1String("--password")) {
            const auto v = takeValue();
            if (!v)
                return missing();
            o.password = *v;
        } else if (arg == QLatin1String("--json") && !inlineValue) {
            o.json = true;
        } else if (arg == QLatin1String("--trace") && !inlineValue) {
            o.trace = true;
        } else if ((arg == QLatin1String("--help") || arg == QLatin1String("-h")) && !inlineValue) {
            o.help = true;
        } else if (o.command.isEmpty()) {
            if (arg.startsWith(QLatin1Char('-')))
                return fail(QStringLiteral("Неизвестный параметр: %1").arg(arguments.at(i)));
            o.command = arg;
        } else {
            // The command's own words and options, in their order.
            o.args << arguments.at(i);
        }
    }
    if (o.command.isEmpty() && !o.help)
        return fail(QStringLiteral("Не указана команда"));
    return Parsed{o, QString()};
}

} // namespace zk::cli
