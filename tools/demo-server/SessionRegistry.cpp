#include "SessionRegistry.h"

#include <QRandomGenerator>

#include <cstdio>

std::string TSessionRegistry::Issue(const std::string &user)
{
    std::string id;
    do {
        // Unpredictable ids: a session id is all a client needs to resume.
        char text[32];
        std::snprintf(text, sizeof text, "%016llx",
                      static_cast<unsigned long long>(QRandomGenerator::system()->generate64()));
        id = text;
    } while (FUsers.count(id));
    FUsers.emplace(id, user);
    FOrder.push_back(id);
    while (FOrder.size() > Capacity) {
        FUsers.erase(FOrder.front());
        FOrder.pop_front();
    }
    return id;
}

bool TSessionRegistry::Resumes(const std::string &sessionId, const std::string &user) const
{
    const auto found = FUsers.find(sessionId);
    return found != FUsers.end() && found->second == user;
}
