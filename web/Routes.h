#pragma once
#include <string_view>

// Every route sipper-web serves; "{id}" stands for a record's number. The server registers its handlers from this
// table (a route without a handler stops the start), and the tests compare it
// with web/openapi.json, so the document cannot drift from the server.
namespace web_routes {

enum class Verb { get, post };

struct Route {
    Verb verb;
    std::string_view path;
    // Documented in openapi.json; listed here for readers of the code.
    std::string_view summary;
    // Served without the bearer token: the page and its files, which a
    // browser fetches by navigation and cannot attach a header to.
    bool open_without_token = false;
};

inline constexpr std::string_view API_PREFIX = "/api/v1";

inline constexpr Route ROUTES[] = {
    {Verb::get, "/", "the page: deck drawing, state and controls", true},
    {Verb::get, "/app.js", "the page's script", true},
    {Verb::get, "/style.css", "the page's style sheet", true},
    {Verb::get, "/events-worker.js", "the page's event reader, shared by the tabs of a browser", true},
    {Verb::get, "/openapi.json", "this API described in OpenAPI 3"},
    {Verb::get, "/api/v1/status", "state, status, homed, configured, plate, position, inhibit"},
    {Verb::get, "/api/v1/deck", "active plate geometry, stations and axis travel"},
    {Verb::post, "/api/v1/commands", "send one operation to the sipper; its record once taken, 409 when refused"},
    {Verb::get, "/api/v1/commands", "the newest operation records"},
    {Verb::get, "/api/v1/commands/{id}", "one operation's record"},
    {Verb::get, "/api/v1/events", "server-sent events with ids: status, log lines, operation records, sip outcomes"},
    {Verb::get, "/api/v1/log", "the last lines of the sipper's log"},
    {Verb::get, "/healthz", "sipper-web is serving (for probes)", true},
    {Verb::get, "/metrics", "the sipper's state, operations, sips and call times for Prometheus"},
};

constexpr std::string_view verb_name(Verb v) { return v == Verb::get ? "get" : "post"; }

}  // namespace web_routes
