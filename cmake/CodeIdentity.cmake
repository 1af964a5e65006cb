# smcd_embed_code_identity(TARGET IDENTIFIER <id> TEAM <team> VERSION <version>)
# Placeholder until the code-identity note lands; adds nothing yet.
function(smcd_embed_code_identity target)
endfunction()
