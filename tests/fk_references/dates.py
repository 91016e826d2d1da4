"""Date arithmetic on int64 nanoseconds since the epoch, in exact integers."""

NS = 10**9
DAY_S = 86400


def seconds_toward_zero(ns):
    return abs(ns) // NS * (1 if ns >= 0 else -1)


def civil_from_days(z):
    """(year, month 1-12, day) of day z counted from 1970-01-01, for any integer z."""
    z += 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = mp + 3 if mp < 10 else mp - 9
    return yoe + era * 400 + (month <= 2), month, day


def days_from_civil(year, month, day):
    year -= month <= 2
    era = year // 400
    yoe = year - era * 400
    doy = (153 * (month + (-3 if month > 2 else 9)) + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def month_length(year, month):
    if month == 2:
        return 29 if is_leap(year) else 28
    return 30 if month in (4, 6, 9, 11) else 31


def ymd(ns):
    """Eight-digit UTC date text; the sub-second part is cut toward zero first."""
    year, month, day = civil_from_days(seconds_toward_zero(ns) // DAY_S)
    return f"{year:04d}{month:02d}{day:02d}"
