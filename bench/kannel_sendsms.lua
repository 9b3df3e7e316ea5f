-- wrk script of bench_kannel.py: Kannel's GET /cgi-bin/sendsms, each
-- request to another number; the sendsms user's name and password come
-- from the environment. Kannel answers 202 when the message is queued.
local user = os.getenv("KANNEL_USER")
local password = os.getenv("KANNEL_PASSWORD")
local counter = 0
local threads = {}

function setup(thread)
  thread:set("first", counter * 1000000)
  counter = counter + 1
  table.insert(threads, thread)
end

function init(args)
  sequence = first
  not_accepted = 0
end

function request()
  sequence = sequence + 1
  local path = string.format("/cgi-bin/sendsms?username=%s&password=%s&to=%%2B420%09d&text=benchmark+message+%d",
                             user, password, 600000000 + sequence, sequence)
  return wrk.format("GET", path)
end

function response(status, headers, body)
  if status ~= 202 then
    not_accepted = not_accepted + 1
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  local refused = 0
  for _, thread in ipairs(threads) do
    refused = refused + thread:get("not_accepted")
  end
  io.write(string.format("RESULT requests=%d seconds=%.3f not_accepted=%d errors_socket=%d p50_us=%d p99_us=%d max_us=%d\n",
                         summary.requests, summary.duration / 1e6, refused, e.connect + e.read + e.write + e.timeout,
                         latency:percentile(50), latency:percentile(99), latency.max))
end
