"""Debian's Prometheus scrapes ringwell-api's /metrics on 127.0.0.1; its
query API finds the target up and the API's series in its store."""
import json
import os
import unittest
import urllib.parse
import urllib.request

import alertroad
from apitest import ApiTestCase, wait_for


def get(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.load(response)


class PrometheusTest(ApiTestCase):
    def test_prometheus_scrapes_the_api(self):
        services = alertroad.Services(self.inst)
        self.addCleanup(services.stop_all)
        self.api.request("GET", "/v1/requests")  # a counted answer
        port = alertroad.free_port()
        config = os.path.join(self.inst.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("""global:
  scrape_interval: 1s
scrape_configs:
  - job_name: ringwell
    static_configs:
      - targets: ["127.0.0.1:%d"]
""" % self.inst.port)
        url = "http://127.0.0.1:%d" % port
        services.start("prometheus", [
            "prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.inst.dir, "tsdb"),
            "--web.listen-address=127.0.0.1:%d" % port],
            lambda log: "Server is ready to receive web requests" in log)

        def target():
            targets = get(url + "/api/v1/targets")["data"]["activeTargets"]
            return [t for t in targets if t["health"] == "up"]
        (up,) = wait_for(target, what="the target to be up")
        self.assertEqual(up["labels"]["job"], "ringwell")
        self.assertEqual(up["scrapeUrl"], "http://127.0.0.1:%d/metrics" % self.inst.port)

        def query(expression):
            answer = get(url + "/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
            return answer["data"]["result"]
        requests = wait_for(lambda: query('ringwell_api_requests_total{route="/v1/requests",method="GET"}'),
                            what="the API's request counter")
        self.assertEqual(requests[0]["metric"]["code"], "200")
        self.assertGreaterEqual(float(requests[0]["value"][1]), 1)
        self.assertEqual(query('up{job="ringwell"}')[0]["value"][1], "1")
        for series in ("ringwell_event_streams", "ringwell_callback_pending"):
            self.assertTrue(query(series), series)


if __name__ == "__main__":
    unittest.main()
