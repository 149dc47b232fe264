// The Khronos glTF validator on each file given, with its .bin: prints one
// line per file and what it found; exits 1 when any file has an error
// or a warning. NODE_PATH names the folder holding gltf-validator.
const fs = require("fs");
const path = require("path");
const validator = require("gltf-validator");

async function validate(file) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
        uri: path.basename(file),
        format: "gltf",
        externalResourceFunction: (uri) =>
            new Promise((resolve, reject) =>
                fs.readFile(path.resolve(path.dirname(file), decodeURIComponent(uri)),
                            (error, data) => (error ? reject(error.toString()) : resolve(new Uint8Array(data))))),
    });
    const found = report.issues;
    console.log(`${file}: ${found.numErrors} errors, ${found.numWarnings} warnings, ${found.numInfos} infos`);
    for (const message of found.messages)
        console.log(`  ${message.severity} ${message.code} ${message.pointer || ""}: ${message.message}`);
    return found.numErrors === 0 && found.numWarnings === 0;
}

(async () => {
    let good = true;
    for (const file of process.argv.slice(2))
        good = (await validate(file)) && good;
    process.exit(good ? 0 : 1);
})();
