// Node-RED's settings for the side-by-side bench: no editor and no HTTP server (nothing listens but the flow's
// own client), nothing sent anywhere, warnings only on the console, context kept in memory (the default).
module.exports = {
    flowFile: "flows.json",
    flowFilePretty: true,
    credentialSecret: false,
    httpAdminRoot: false,
    httpNodeRoot: false,
    logging: { console: { level: "warn", metrics: false, audit: false } },
    diagnostics: { enabled: false, ui: false },
    runtimeState: { enabled: false, ui: false },
    telemetry: { enabled: false },
    externalModules: { autoInstall: false, palette: { allowInstall: false } },
    functionExternalModules: false,
    editorTheme: { projects: { enabled: false } },
};
