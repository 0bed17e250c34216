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
#
# Requests need nothing here: Varnish takes the patcher's absolute-form
# requests ("GET http://host:80/latest/x") apart into host and path itself,
# and takes no notice of their "Pragma: no-cache" and "Cache-Control:
# no-cache" (a cache that obeyed them would fetch every body for every
# player).

sub vcl_backend_response {
    # Fresh for a millisecond (Varnish looks up no object with no freshness
    # at all) and never served stale, so every later request revalidates it
    # (If-None-Match / If-Modified-Since) and gets the body from here after a
    # 304; the body is kept for a week of such revalidations. Varnish's own
    # rule for "no-cache" would fetch every request whole; it still applies
    # to what cannot be revalidated (errors, missing files).
    if (beresp.http.Cache-Control ~ "(?i)(^|,)\s*no-cache\s*(,|$)" &&
        beresp.status == 200 &&
        (beresp.http.ETag || beresp.http.Last-Modified)) {
        set beresp.ttl = 1ms;
        set beresp.grace = 0s;
        set beresp.keep = 7d;
        return (deliver);
    }
}
