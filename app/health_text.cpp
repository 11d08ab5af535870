// Today's health figures for summary.txt; see health_text.h. The relay does not count them
// yet: one line says so.
#include "app/health_text.h"

std::string TodayHealthText()
{
    return "(이 버전은 상태 수치를 세지 않습니다)";
}
