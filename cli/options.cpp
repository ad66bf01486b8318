#include "cli/options.h"

#include "core/commandline.h"
#include "meter/settingswrite.h"

#include <QCommandLineParser>
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
        "                            [--timeout МС] [--password N] [--json] [--trace] [--menu]\n"
        "                            КОМАНДА ...\n"
        "\n"
        "Команды:\n"
        "  info            один полный цикл опроса: все значения счетчика, как их показывает окно\n"
        "  find-address    поиск адреса с 0; выводит адрес, который ответил\n"
        "  scan            обзор линии: все адреса 0..255, которые ответили, с серийным номером\n"
        "                  и версией (несколько счетчиков на одной линии)\n"
        "  status N        расшифровка значения статуса (счетчик не нужен)\n"
        "  doctor          проверка порта и линии: устройство, доступ, четность MARK/SPACE, эхо\n"
        "                  адаптера, ответ счетчика на адрес, время обмена и рекомендуемый\n"
        "                  таймаут; неисправности словами, код 3 при любой из них\n"
        "  write [--time now|ГГГГ-ММ-ДДTЧЧ:ММ:СС] [--summer on|off] [--new-address N]\n"
        "        [--serial N|next] [--ddm A,B,C] [--indication N] [--billing ДЕНЬ,ЧАС]\n"
        "        [--correction N] [--no-correction] [--new-password N] [--reset-tariff]\n"
        "                  записать в счетчик названные установки (как F12 в окне); без\n"
        "                  --summer время пишется с признаком летнего времени счетчика;\n"
        "                  в производственном режиме и суточная коррекция, как в окне\n"
        "  reset-billing   сбросить показания на расчетный день\n"
        "                  (write, reset-billing и schedule write с --dry-run: счетчик читается,\n"
        "                  кадры записи выводятся и не отправляются; после write и schedule\n"
        "                  write записанное читается обратно и сверяется, --no-verify без этого)\n"
        "  spoilage НОМЕР КОД\n"
        "                  зарегистрировать брак счетчика (производственный режим)\n"
        "  fix             один цикл опроса, показания в БД, как «Зафиксировать в БД»\n"
        "                  (производственный режим)\n"
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
        "  --menu       рабочая папка (реестр Setting.DBF, файл SettingSql.kvm) та же, что у окна,\n"
        "               запущенного из меню: ~/.local/share/zelta-kn (создается, если ее нет);\n"
        "               без --menu - текущая папка\n"
        "  --help       эта справка\n"
        "  --version    версия программы\n"
        "\n"
        "Код завершения: 0 выполнено; 1 прочая ошибка; 2 неверные аргументы или запрещено\n"
        "режимом; 3 нет ответа или линия неисправна (doctor); 4 счетчик отказал; 5 ошибка базы\n"
        "данных или файла; 6 счетчик подтвердил запись, но прочитано другое.\n"
        "С --json команды write, reset-billing, schedule write, spoilage и fix выводят один объект\n"
        "{\"ok\", \"acknowledged\", \"failed\", \"error\"}.\n");
}

namespace {

struct OptionDef {
    const char *name;
    bool takesValue;
};

constexpr OptionDef GlobalOptions[] = {{"port", true},  {"address", true}, {"baud", true}, {"timeout", true},
                                {"password", true}, {"json", false}, {"trace", false}, {"menu", false},
                                {"help", false}, {"version", false}};

// Each command's own options.
QList<OptionDef> commandOptions(const QString &command)
{
    if (command == QLatin1String("write"))
        return {{"time", true},        {"summer", true},        {"new-address", true}, {"serial", true},
                {"ddm", true},         {"indication", true},    {"billing", true},     {"correction", true},
                {"no-correction", false}, {"new-password", true}, {"reset-tariff", false}, {"dry-run", false},
                {"no-verify", false}};
    if (command == QLatin1String("journal"))
        return {{"xls", true}};
    if (command == QLatin1String("schedule"))
        return {{"dry-run", false}, {"no-verify", false}};
    if (command == QLatin1String("reset-billing"))
        return {{"dry-run", false}};
    return {};
}

bool globalTakesValue(const QString &word)
{
    for (const OptionDef &s : GlobalOptions)
        if (s.takesValue && word == QLatin1String("--") + QLatin1String(s.name))
            return true;
    return false;
}

// Where the first word that is neither an option nor a global option's value stands; -1
// when there is none.
int commandIndex(const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--"))
            return i + 1 < arguments.size() ? i + 1 : -1;
        if (!a.startsWith(QLatin1Char('-')))
            return i;
        if (globalTakesValue(a))
            ++i;
    }
    return -1;
}

// `write --address N` named the new address before that option became --new-address; the
// parser would now take it for the global meter address. True when --address follows `write`.
bool addressAfterWrite(const QStringList &arguments, int command)
{
    if (command < 0 || arguments.at(command) != QLatin1String("write"))
        return false;
    for (int i = command + 1; i < arguments.size() && arguments.at(i) != QLatin1String("--"); ++i)
        if (arguments.at(i) == QLatin1String("--address") || arguments.at(i).startsWith(QLatin1String("--address=")))
            return true;
    return false;
}

QCommandLineOption option(const OptionDef &s)
{
    QStringList names{QString::fromLatin1(s.name)};
    if (names.first() == QLatin1String("help"))
        names << QStringLiteral("h");
    return s.takesValue ? QCommandLineOption(names, QString(), QStringLiteral("value")) : QCommandLineOption(names);
}

// Whether the command ends with the verdict object: write, reset-billing, schedule
// write, spoilage, fix.
bool endsWithVerdict(const QString &command, const QStringList &arguments)
{
    if (command == QLatin1String("schedule")) {
        const QStringList rest = arguments.mid(arguments.indexOf(command) + 1);
        return rest.value(commandIndex(rest)) == QLatin1String("write");
    }
    return command == QLatin1String("write") || command == QLatin1String("reset-billing")
        || command == QLatin1String("spoilage") || command == QLatin1String("fix");
}

} // namespace

Parsed parseArguments(const QStringList &arguments)
{
    Options o;
    o.password = FactoryPassword;
    const int commandAt = commandIndex(arguments);
    const QString command = arguments.value(commandAt);
    const bool verdictJson = arguments.contains(QStringLiteral("--json")) && endsWithVerdict(command, arguments);
    auto fail = [verdictJson](const QString &text) { return Parsed{std::nullopt, text, verdictJson}; };

    const QList<OptionDef> own = commandOptions(command);
    QCommandLineParser parser;
    for (const OptionDef &s : GlobalOptions)
        parser.addOption(option(s));
    for (const OptionDef &s : own)
        parser.addOption(option(s));
    if (!parser.parse(QStringList{QStringLiteral("zelta-kn-cli")} + arguments))
        return fail(commandLineError(parser, arguments));
    if (addressAfterWrite(arguments, commandAt))
        return fail(QStringLiteral("--address после write — адрес счетчика на линии, он указывается перед командой; "
                                   "новый адрес записывает write --new-address N"));

    o.help = parser.isSet(QStringLiteral("help"));
    o.version = parser.isSet(QStringLiteral("version"));
    o.json = parser.isSet(QStringLiteral("json"));
    o.trace = parser.isSet(QStringLiteral("trace"));
    o.menu = parser.isSet(QStringLiteral("menu"));
    if (parser.isSet(QStringLiteral("port"))) {
        o.port = parser.value(QStringLiteral("port"));
        if (o.port.isEmpty())
            return fail(QStringLiteral("Параметру --port не хватает значения"));
    }
    if (parser.isSet(QStringLiteral("address"))) {
        const QString v = parser.value(QStringLiteral("address"));
        const auto n = intArgument(v, 0, 255);
        if (!n)
            return fail(QStringLiteral("Адрес должен быть числом от 0 до 255: %1").arg(v));
        o.address = *n;
    }
    if (parser.isSet(QStringLiteral("baud"))) {
        const QString v = parser.value(QStringLiteral("baud"));
        const auto n = intArgument(v, 1200, 9600);
        if (!n || (*n != 1200 && *n != 2400 && *n != 4800 && *n != 9600))
            return fail(QStringLiteral("Скорость должна быть 1200, 2400, 4800 или 9600: %1").arg(v));
        o.baud = *n;
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        const QString v = parser.value(QStringLiteral("timeout"));
        const auto n = intArgument(v, 200, 10000);
        if (!n)
            return fail(QStringLiteral("Таймаут должен быть числом от 200 до 10000 мс: %1").arg(v));
        o.timeout = *n;
    }
    if (parser.isSet(QStringLiteral("password")))
        o.password = parser.value(QStringLiteral("password"));
    for (const OptionDef &s : own) {
        const QString name = QString::fromLatin1(s.name);
        if (parser.isSet(name))
            o.own[name] = s.takesValue ? parser.values(name) : QStringList{QString()};
    }
    QStringList words = parser.positionalArguments();
    if (!words.isEmpty()) {
        o.command = words.takeFirst();
        o.args = words;
    }
    if (o.command.isEmpty() && !o.help && !o.version)
        return fail(QStringLiteral("Не указана команда"));
    return Parsed{o, QString()};
}

} // namespace zk::cli
