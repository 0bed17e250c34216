# A Varnish cache in front of the update host (deploy/update-host.nginx.conf).
# Included after the backend that names the origin:
#
#     vcl 4.1;
#     backend origin { .host = "192.0.2.10"; .port = "80"; }
#     include "/path/to/update-cache.vcl";
#
# Each object that the origin marks "no-cache" (every /latest/ one) is kept
# but confirmed with the origin on every use, by a conditional request that
# the origin answers with a bodiless 304 while the file is unchanged. So a
# release switch is seen by the very next request, and the origin sends each
# body once per change, not once per player.

import std;

sub vcl_recv {
    # Patchers reach the cache as an HTTP proxy, in absolute form
    # ("GET http://host:80/latest/x"): taken apart into host and path, so that
    # they share objects with requests in the usual form.
    if (req.url ~ "^(?i)https?://") {
        set req.http.Host = regsub(req.url, "^(?i)https?://([^/]*).*$", "\1");
        set req.url = regsub(req.url, "^(?i)https?://[^/]*", "");
        if (req.url == "") {
            set req.url = "/";
        }
    }
    set req.http.Host = regsub(std.tolower(req.http.Host), ":80$", "");

    if (req.url ~ "^/latest/") {
        # Every patcher request carries "Pragma: no-cache" and
        # "Cache-Control: no-cache". Varnish does not act on them; they are
        # dropped so that the origin does not see them either: the copy
        # handed out is revalidated with the origin anyway.
        unset req.http.Pragma;
        unset req.http.Cache-Control;
    }
}

sub vcl_backend_response {
    # The origin's "no-cache" (every /latest/ object): store, but revalidate
    # before each reuse. Fresh for a millisecond and never served stale, so
    # every later request is a conditional one (If-None-Match /
    # If-Modified-Since) and gets the body from here after a 304; the body is
    # kept for a week of such revalidations. (Varnish's own rule for
    # "no-cache" would pass every request to the origin whole.)
    if (beresp.http.Cache-Control ~ "(?i)(^|,)\s*no-cache\s*(,|$)") {
        if (beresp.status == 200 &&
            (beresp.http.ETag || beresp.http.Last-Modified)) {
            set beresp.ttl = 1ms;
            set beresp.grace = 0s;
            set beresp.keep = 7d;
        } else {
            # Nothing to revalidate with (an error, a missing file): not kept.
            set beresp.ttl = 0s;
            set beresp.grace = 0s;
            set beresp.keep = 0s;
        }
        return (deliver);
    }
}
