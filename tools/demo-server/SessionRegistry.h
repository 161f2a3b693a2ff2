#pragma once

#include <deque>
#include <map>
#include <string>

// The session ids the server has issued, each for one user. A login that
// brings back an id issued for the same user resumes that session.
class TSessionRegistry
{
public:
    // Oldest ids are forgotten past this many, so a client that never
    // resumes cannot grow the table without bound.
    static constexpr std::size_t Capacity = 10000;

    std::string Issue(const std::string &user);
    bool Resumes(const std::string &sessionId, const std::string &user) const;
    std::size_t Size() const { return FUsers.size(); }

private:
    std::map<std::string, std::string> FUsers;
    std::deque<std::string> FOrder;
};
