-- wrk script of bench_http.py: POST /v1/messages with a JSON body, each
-- request to another number; the key comes from the environment. With
-- KST_DELAY_MS set, every connection waits that long between requests
-- (a paced load for the latency run).
local key = os.getenv("KST_API_KEY")
local delay_ms = tonumber(os.getenv("KST_DELAY_MS") or "")
local counter = 0

function setup(thread)
  thread:set("first", counter * 1000000)
  counter = counter + 1
end

function init(args)
  sequence = first
  failures = 0
end

function request()
  sequence = sequence + 1
  local body = string.format('{"to": "+420%09d", "text": "benchmark message %d"}', 600000000 + sequence, sequence)
  return wrk.format("POST", "/v1/messages",
                    {["Authorization"] = "Bearer " .. key, ["Content-Type"] = "application/json"}, body)
end

function response(status, headers, body)
  if status ~= 202 then
    failures = failures + 1
  end
end

if delay_ms then
  function delay()
    return delay_ms
  end
end

function done(summary, latency, requests)
  io.write(string.format("RESULT requests=%d seconds=%.3f errors_status=%d p50_us=%d p99_us=%d max_us=%d\n",
                         summary.requests, summary.duration / 1e6, summary.errors.status,
                         latency:percentile(50), latency:percentile(99), latency.max))
end
