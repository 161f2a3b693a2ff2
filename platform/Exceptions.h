#pragma once

#include <exception>
#include <string>

// The program's exception base class. Every exception of ours derives from it,
// and catch guards in the units catch only this hierarchy. ClassName() gives
// the name reports print ("EZDecompressionError"), not a mangled type name.
class Exception : public std::exception
{
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    ~Exception() override = default;

    virtual std::string ClassName() const { return "Exception"; }
    const std::string &Message() const { return FMessage; }
    const char *what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// Declares an exception class with its own reported class name.
#define CORVANE_DECLARE_EXCEPTION(Name, Base)                          \
    class Name : public Base                                           \
    {                                                                  \
    public:                                                            \
        using Base::Base;                                              \
        std::string ClassName() const override { return #Name; }       \
    }

CORVANE_DECLARE_EXCEPTION(EAssertionFailed, Exception);

// Throws EAssertionFailed with "Assertion failure (Unit.cpp, line N)", or with
// "Assertion failure: <text> (Unit.cpp, line N)" when a text is given.
[[noreturn]] void AssertionFailure(const char *file, int line, const char *text = nullptr);

// Programming errors: a wrong call order, a value of an unsupported kind, an
// object destroyed that must live until the process ends.
#define Assert(condition)                                  \
    do {                                                   \
        if (!(condition))                                  \
            AssertionFailure(__FILE__, __LINE__);          \
    } while (false)

#define AssertMsg(condition, text)                         \
    do {                                                   \
        if (!(condition))                                  \
            AssertionFailure(__FILE__, __LINE__, (text));  \
    } while (false)
