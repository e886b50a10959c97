// Serves a directory on 127.0.0.1 for the demo page: node serve.mjs DIR [PORT]
import fs from "node:fs";
import http from "node:http";
import path from "node:path";

const dir = path.resolve(process.argv[2] ?? ".");
const port = Number(process.argv[3] ?? 8080);
const types = {".html": "text/html; charset=utf-8", ".mjs": "text/javascript", ".js": "text/javascript",
               ".wasm": "application/wasm", ".css": "text/css", ".json": "application/json"};

http.createServer((req, res) => {
    const url = new URL(req.url, "http://127.0.0.1");
    let rel = decodeURIComponent(url.pathname);
    if (rel.endsWith("/")) rel += "index.html";
    const file = path.resolve(dir, "." + path.posix.normalize(rel));
    if (!file.startsWith(dir + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
        res.writeHead(404, {"Content-Type": "text/plain"}).end("not found");
        return;
    }
    res.writeHead(200, {"Content-Type": types[path.extname(file)] ?? "application/octet-stream"});
    fs.createReadStream(file).pipe(res);
}).listen(port, "127.0.0.1", () => {
    console.log(`brimvox demo: http://127.0.0.1:${port}/ (serving ${dir}; Ctrl-C to stop)`);
});
