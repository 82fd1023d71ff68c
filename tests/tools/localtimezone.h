#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

// Sets the process's time zone for the lifetime of the object, so that local
// time stamps can be checked.
class LocalTimeZone {
public:
    explicit LocalTimeZone(const char* zone)
    {
        const char* previous = std::getenv("TZ");
        mHadPrevious = previous != nullptr;
        mPrevious = mHadPrevious ? previous : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~LocalTimeZone()
    {
        if (mHadPrevious) {
            setenv("TZ", mPrevious.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    LocalTimeZone(const LocalTimeZone&) = delete;
    LocalTimeZone& operator=(const LocalTimeZone&) = delete;

private:
    bool mHadPrevious = false;
    std::string mPrevious;
};
